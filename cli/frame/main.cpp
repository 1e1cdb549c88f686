#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <iostream>
#include <span>

#include "frame/Tool.hpp"
#include "platform/SecureMemory.hpp"

int main(int argc, char** argv) {
  // The environment is read while the command line is, before any request thread exists.
  const tervala::cli::Io io{std::cin, std::cout, std::cerr, ::isatty(STDOUT_FILENO) == 1,
                            [](const char* name) -> const char* {
                              return std::getenv(name);  // NOLINT(concurrency-mt-unsafe)
                            },
                            // The value's bytes are wiped where they lie (as argv's are), then
                            // the variable goes: no child's environment holds it.
                            [](const char* name) {
                              if (char* value = std::getenv(name)) {  // NOLINT(concurrency-mt-unsafe)
                                tervala::platform::cleanse(value, std::strlen(value));
                              }
                              ::unsetenv(name);  // NOLINT(concurrency-mt-unsafe)
                            }};
  return tervala::cli::runTool(std::span<char* const>(argv + 1, static_cast<std::size_t>(argc - 1)), io);
}
