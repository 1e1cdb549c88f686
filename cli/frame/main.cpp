#include <unistd.h>

#include <cstdlib>
#include <iostream>
#include <span>

#include "frame/Tool.hpp"

int main(int argc, char** argv) {
  // The environment is read while the command line is, before any request thread exists.
  const tervala::cli::Io io{std::cin,
                            std::cout,
                            std::cerr,
                            ::isatty(STDOUT_FILENO) == 1,
                            [](const char* name) -> const char* {
                              return std::getenv(name);  // NOLINT(concurrency-mt-unsafe)
                            },
                            ::isatty(STDIN_FILENO) == 1};
  return tervala::cli::runTool(std::span<char* const>(argv + 1, static_cast<std::size_t>(argc - 1)), io);
}
