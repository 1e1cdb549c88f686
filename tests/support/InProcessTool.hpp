#pragma once

#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "ToolProcess.hpp"
#include "frame/Tool.hpp"

namespace tervala::test {

/// Runs the tool in this process, as main does, with `input` as standard input and `environment`
/// as the only environment variables; the names of those it removes go to `forgotten`.
inline ToolRun runTool(std::vector<std::string> args, const std::string& input = {},
                       const std::map<std::string, std::string>& environment = {},
                       std::vector<std::string>* forgotten = nullptr) {
  std::vector<char*> argv;
  argv.reserve(args.size());
  for (auto& arg : args) {
    argv.push_back(arg.data());
  }
  std::istringstream in(input);
  std::ostringstream out;
  std::ostringstream err;
  const auto lookUp = [&](const char* name) -> const char* {
    const auto found = environment.find(name);
    return found == environment.end() ? nullptr : found->second.c_str();
  };
  const auto forget = [&](const char* name) {
    if (forgotten != nullptr) {
      forgotten->emplace_back(name);
    }
  };
  const cli::Io io{in, out, err, false, lookUp, forget};
  const int status = cli::runTool(argv, io);
  return {status, out.str(), err.str()};
}

}  // namespace tervala::test
