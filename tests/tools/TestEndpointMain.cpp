// tervala-test-endpoint: the loopback authorization server of the tests, for the demo. It prints
// its port on one line and serves until standard input ends; SIGTERM ends it as it ends any
// program. The client "demo-service" with secret "demo-secret" gets client-credentials tokens.
#include <unistd.h>

#include <array>
#include <iostream>

#include "support/AuthorizationServer.hpp"

int main() {
  tervala::test::AuthorizationServer server;
  server.setClientSecret("demo-service", "demo-secret");
  std::cout << server.port() << std::endl;
  std::array<char, 256> buffer{};
  while (::read(STDIN_FILENO, buffer.data(), buffer.size()) > 0) {
  }
  return 0;
}
