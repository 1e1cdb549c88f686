// `token curl`: curl with the stored token's headers. The token never stands on curl's command
// line, where any user could read it: the header lines reach curl through a pipe it reads as a
// header file (-H @/dev/fd/3), and curl runs from an argument vector, never through a shell.
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <memory>
#include <ostream>
#include <string>
#include <variant>
#include <vector>

#include <tervala/OAuthToken.hpp>

#include "frame/Arguments.hpp"
#include "frame/ChildEnvironment.hpp"
#include "frame/Commands.hpp"
#include "frame/PipeSignalHeld.hpp"
#include "frame/VisibleText.hpp"
#include "platform/SecureMemory.hpp"
#include "tokens/CleartextUrl.hpp"
#include "tokens/Profile.hpp"

namespace tervala::cli {
namespace {

constexpr int headerFd = 3;

struct FileActionsDeleter {
  void operator()(posix_spawn_file_actions_t* actions) const noexcept {
    posix_spawn_file_actions_destroy(actions);
  }
};

// The header lines of one request with `token`, or why there are none.
std::variant<platform::SecretText, std::string> headerLines(const OAuthToken& token, std::string_view method,
                                                            std::string_view url) {
  platform::SecretText lines = platform::secretText("Authorization: ");
  const auto append = [&lines](std::string_view text) {
    lines.insert(lines.end(), text.begin(), text.end());
  };
  if (token.tokenType() == "DPoP") {
    const auto pair = token.createProofHeaders(method, url);
    if (!pair) {
      return "no DPoP headers: " + pair.reason();
    }
    append(pair->authorization);
    append("\nDPoP: ");
    append(pair->dpop);
  } else {
    auto header = token.createAuthorizationHeader();
    if (!header) {
      return std::string("the stored token holds characters that cannot be sent in a header");
    }
    append(*header);
    platform::cleanse(*header);
  }
  append("\n");
  return lines;
}

// Runs curl with `arguments`, its header file the read end of `pipe`; the exit status of curl.
int runCurl(std::vector<std::string>& words, int readEnd, int writeEnd, const platform::SecretText& lines,
            const Io& io) {
  posix_spawn_file_actions_t storage{};
  if (posix_spawn_file_actions_init(&storage) != 0) {
    io.err << "tervala: cannot start curl\n";
    return failure;
  }
  const std::unique_ptr<posix_spawn_file_actions_t, FileActionsDeleter> actions(&storage);
  if (posix_spawn_file_actions_adddup2(actions.get(), readEnd, headerFd) != 0 ||
      posix_spawn_file_actions_addclose(actions.get(), writeEnd) != 0) {
    io.err << "tervala: cannot start curl\n";
    return failure;
  }
  std::vector<char*> argv;
  argv.reserve(words.size() + 1);
  for (auto& word : words) {
    argv.push_back(word.data());
  }
  argv.push_back(nullptr);
  auto environment = childEnvironment();
  pid_t child = 0;
  if (posix_spawnp(&child, "curl", actions.get(), nullptr, argv.data(), environment.data()) != 0) {
    io.err << "tervala: cannot run curl (is it installed?)\n";
    return failure;
  }
  ::close(readEnd);
  // Header lines are far below a pipe's buffer, so the write cannot wait for curl to read.
  const PipeSignalHeld held;
  const bool written = ::write(writeEnd, lines.data(), lines.size()) == static_cast<ssize_t>(lines.size());
  ::close(writeEnd);
  int status = 0;
  while (::waitpid(child, &status, 0) < 0 && errno == EINTR) {
  }
  if (!written) {
    io.err << "tervala: curl did not take the headers\n";
    return failure;
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : failure;
}

}  // namespace

int runTokenCurl(const GlobalOptions& global, const Arguments& arguments, const Io& io) {
  const auto& operands = arguments.operands();
  const std::string url(platform::view(operands.front()));
  if (!url.starts_with("https://") && !url.starts_with("http://")) {
    return refuse(
        io, UsageError{"token curl needs an http:// or https:// URL first, not '" + visible(url) + "'"});
  }
  if (isCleartextToAnotherHost(url) && !arguments.has("allow-http")) {
    return refuse(io, UsageError{cleartextRefusal("the token")});
  }
  const std::string method(arguments.value("method").value_or("GET"));
  auto chosen = Profile::of(global, arguments);
  if (auto* error = std::get_if<UsageError>(&chosen)) {
    return refuse(io, *error);
  }
  auto read = std::get<Profile>(chosen).tokenPlace().retrieveToken(io);
  if (auto* reason = std::get_if<std::string>(&read)) {
    io.err << "tervala: " << shownMessage(*reason) << '\n';
    return failure;
  }
  const auto& token = *std::get<std::shared_ptr<OAuthToken>>(read);
  if (token.hasTokenExpired()) {
    io.err << "tervala: the stored token has expired; tervala token get --url ... renews it\n";
    return failure;
  }
  auto lines = headerLines(token, method, url);
  if (auto* problem = std::get_if<std::string>(&lines)) {
    io.err << "tervala: " << visible(*problem) << '\n';
    return failure;
  }
  std::vector<std::string> words{"curl", "-H", "@/dev/fd/" + std::to_string(headerFd)};
  if (arguments.value("method")) {
    words.insert(words.end(), {"--request", method});
  }
  words.push_back(url);
  for (std::size_t at = 1; at < operands.size(); ++at) {
    words.emplace_back(platform::view(operands[at]));
  }
  std::array<int, 2> ends{};
  if (::pipe2(ends.data(), O_CLOEXEC) != 0) {
    io.err << "tervala: cannot make a pipe for curl's headers\n";
    return failure;
  }
  // Above the descriptor curl reads, so that putting it there always makes a new descriptor, one
  // that stays open across the exec.
  const int readEnd = ::fcntl(ends[0], F_DUPFD_CLOEXEC, headerFd + 1);
  ::close(ends[0]);
  if (readEnd < 0) {
    ::close(ends[1]);
    io.err << "tervala: cannot make a pipe for curl's headers\n";
    return failure;
  }
  io.out << std::flush;
  return runCurl(words, readEnd, ends[1], std::get<platform::SecretText>(lines), io);
}

}  // namespace tervala::cli
