#include "tokens/ConnectionOwner.hpp"

#include <netinet/in.h>
#include <sys/socket.h>

#include <array>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>

namespace tervala::cli {
namespace {

// An address and port the way the kernel's table writes them: each 32-bit word of the address
// as the hexadecimal of its bytes read in host order, then the port's hexadecimal.
std::string tableForm(const sockaddr_storage& address) {
  std::string text;
  std::array<char, 9> word{};
  const auto append = [&](const void* bytes) {
    std::uint32_t value = 0;
    std::memcpy(&value, bytes, sizeof value);
    std::snprintf(word.data(), word.size(), "%08X", value);
    text += word.data();
  };
  unsigned port = 0;
  if (address.ss_family == AF_INET6) {
    const auto& in6 = reinterpret_cast<const sockaddr_in6&>(address);
    for (std::size_t at = 0; at < 16; at += 4) {
      append(&in6.sin6_addr.s6_addr[at]);
    }
    port = ntohs(in6.sin6_port);
  } else {
    const auto& in4 = reinterpret_cast<const sockaddr_in&>(address);
    append(&in4.sin_addr.s_addr);
    port = ntohs(in4.sin_port);
  }
  std::snprintf(word.data(), word.size(), ":%04X", port);
  return text + word.data();
}

}  // namespace

std::optional<uid_t> loopbackPeerOwner(int connection) {
  sockaddr_storage ours{};
  sockaddr_storage theirs{};
  socklen_t length = sizeof ours;
  if (::getsockname(connection, reinterpret_cast<sockaddr*>(&ours), &length) != 0) {
    return std::nullopt;
  }
  length = sizeof theirs;
  if (::getpeername(connection, reinterpret_cast<sockaddr*>(&theirs), &length) != 0) {
    return std::nullopt;
  }
  // The other end's own row: its local address is our peer, its remote address is us.
  const std::string local = tableForm(theirs);
  const std::string remote = tableForm(ours);
  std::ifstream table(ours.ss_family == AF_INET6 ? "/proc/net/tcp6" : "/proc/net/tcp");
  std::string line;
  std::getline(table, line);  // the column titles
  while (std::getline(table, line)) {
    std::istringstream fields(line);
    std::string slot;
    std::string localField;
    std::string remoteField;
    std::string skipped;
    unsigned long uid = 0;
    if (fields >> slot >> localField >> remoteField >> skipped >> skipped >> skipped >> skipped >> uid &&
        localField == local && remoteField == remote) {
      return static_cast<uid_t>(uid);
    }
  }
  return std::nullopt;
}

}  // namespace tervala::cli
