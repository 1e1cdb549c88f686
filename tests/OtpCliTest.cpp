#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <regex>
#include <string>
#include <vector>

namespace {

const std::string secret20 = "GEZDGNBVGY3TQOJQGEZDGNBVGY3TQOJQ";
const std::string secret32 = "GEZDGNBVGY3TQOJQGEZDGNBVGY3TQOJQGEZDGNBVGY3TQOJQGEZA====";
const std::string secret64 =
    "GEZDGNBVGY3TQOJQGEZDGNBVGY3TQOJQGEZDGNBVGY3TQOJQGEZDGNBVGY3TQOJQGEZDGNBVGY3TQOJQGEZDGNBVGY3TQOJQGEZDGNA"
    "=";

struct Outcome {
  int status = -1;
  std::string out;
  std::string err;
};

// The real tervala binary as a child process, with pipes on its three standard streams.
class Tool {
 public:
  explicit Tool(const std::vector<std::string>& args) {
    std::array<int, 2> in{};
    std::array<int, 2> out{};
    std::array<int, 2> err{};
    if (::pipe(in.data()) != 0 || ::pipe(out.data()) != 0 || ::pipe(err.data()) != 0) {
      ADD_FAILURE() << "pipe failed";
      return;
    }
    std::vector<std::string> argv{TERVALA_CLI_PATH};
    argv.insert(argv.end(), args.begin(), args.end());
    std::vector<char*> pointers;
    for (auto& arg : argv) {
      pointers.push_back(arg.data());
    }
    pointers.push_back(nullptr);
    pid_ = ::fork();
    if (pid_ == 0) {
      ::dup2(in[0], STDIN_FILENO);
      ::dup2(out[1], STDOUT_FILENO);
      ::dup2(err[1], STDERR_FILENO);
      for (const int fd : {in[0], in[1], out[0], out[1], err[0], err[1]}) {
        ::close(fd);
      }
      ::execv(pointers[0], pointers.data());
      ::_exit(127);
    }
    ::close(in[0]);
    ::close(out[1]);
    ::close(err[1]);
    in_ = in[1];
    out_ = out[0];
    err_ = err[0];
  }
  Tool(const Tool&) = delete;
  Tool& operator=(const Tool&) = delete;
  ~Tool() {
    for (const int fd : {in_, out_, err_}) {
      if (fd >= 0) {
        ::close(fd);
      }
    }
    if (pid_ > 0 && !reaped_) {
      ::kill(pid_, SIGKILL);
      ::waitpid(pid_, nullptr, 0);
    }
  }

  // Sends `text` to standard input and closes it.
  void send(const std::string& text) {
    std::size_t at = 0;
    while (at < text.size()) {
      const ssize_t written = ::write(in_, text.data() + at, text.size() - at);
      if (written <= 0) {
        break;  // the tool stopped reading; what it did is what the test checks
      }
      at += static_cast<std::size_t>(written);
    }
    ::close(in_);
    in_ = -1;
  }

  // Reads until standard output holds at least `bytes` bytes or both streams end.
  void readUntil(std::size_t bytes) {
    while (outcome_.out.size() < bytes && (out_ >= 0 || err_ >= 0)) {
      std::vector<pollfd> fds;
      for (const int fd : {out_, err_}) {
        if (fd >= 0) {
          fds.push_back({fd, POLLIN, 0});
        }
      }
      if (::poll(fds.data(), fds.size(), -1) < 0) {
        if (errno == EINTR) {
          continue;
        }
        return;
      }
      for (const auto& ready : fds) {
        if ((ready.revents & (POLLIN | POLLHUP)) == 0) {
          continue;
        }
        std::array<char, 65536> buffer{};
        const ssize_t got = ::read(ready.fd, buffer.data(), buffer.size());
        int& fd = ready.fd == out_ ? out_ : err_;
        std::string& into = ready.fd == out_ ? outcome_.out : outcome_.err;
        if (got <= 0) {
          ::close(fd);
          fd = -1;
        } else {
          into.append(buffer.data(), static_cast<std::size_t>(got));
        }
      }
    }
  }

  void interrupt() const { ::kill(pid_, SIGINT); }

  Outcome finish() {
    if (in_ >= 0) {
      send("");
    }
    readUntil(std::string::npos);
    int status = 0;
    ::waitpid(pid_, &status, 0);
    reaped_ = true;
    outcome_.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    return outcome_;
  }

  [[nodiscard]] const std::string& outSoFar() const { return outcome_.out; }

 private:
  pid_t pid_ = -1;
  bool reaped_ = false;
  int in_ = -1;
  int out_ = -1;
  int err_ = -1;
  Outcome outcome_;
};

Outcome run(const std::vector<std::string>& args, const std::string& input = {}) {
  Tool tool(args);
  tool.send(input);
  return tool.finish();
}

TEST(OtpCli, HotpPrintsCountCodesOneALine) {
  const auto result = run({"hotp", "-c", "0", "-n", "10", secret20});
  EXPECT_EQ(result.status, 0);
  EXPECT_EQ(result.out, "755224\n287082\n359152\n969429\n338314\n254676\n287922\n162583\n399871\n520489\n");
  EXPECT_EQ(result.err, "");
  EXPECT_EQ(run({"hotp", "-c", "9", secret20}).out, "520489\n");
}

TEST(OtpCli, TotpPrintsTheCodeOfTheGivenTime) {
  struct Case {
    std::vector<std::string> args;
    std::string out;
  };
  for (const auto& [args, out] : std::vector<Case>{
           {{"totp", "-d", "8", "-t", "59", secret20}, "94287082\n"},
           {{"totp", "-d", "8", "-a", "SHA256", "-t", "1111111109", secret32}, "68084774\n"},
           {{"totp", "-a", "sha512", "-d", "8", "-t", "20000000000", secret64}, "47863826\n"},
           {{"totp", "-t", "59", secret20}, "287082\n"},
           {{"totp", "-p", "60", "-t", "119", secret20}, "287082\n"},
           {{"totp", "-p", "12.5", "-t", "25", secret20}, "359152\n"},
       }) {
    const auto result = run(args);
    EXPECT_EQ(result.status, 0) << args.back();
    EXPECT_EQ(result.out, out) << args.back();
    EXPECT_EQ(result.err, "");
  }
  const auto now = run({"totp", secret20});
  EXPECT_EQ(now.status, 0);
  EXPECT_TRUE(std::regex_match(now.out, std::regex("[0-9]{6}\n"))) << now.out;
}

TEST(OtpCli, DashReadsTheSecretFromStandardInputLessOneLineBreak) {
  EXPECT_EQ(run({"totp", "-d", "8", "-t", "59", "-"}, secret20 + "\n").out, "94287082\n");
  EXPECT_EQ(run({"totp", "-d", "8", "-t", "59", "-"}, secret20 + "\r\n").out, "94287082\n");
  EXPECT_EQ(run({"hotp", "-c", "1", "-"}, secret20).out, "287082\n");
  const auto twoBreaks = run({"hotp", "-c", "1", "-"}, secret20 + "\n\n");
  EXPECT_EQ(twoBreaks.status, 2);
  EXPECT_EQ(twoBreaks.out, "");
  const auto tooLong = run({"hotp", "-c", "1", "-"}, std::string(70000, 'A'));
  EXPECT_EQ(tooLong.status, 2);
}

// Every refused input exits 2 with one line on standard error and nothing on standard output.
TEST(OtpCli, RefusedInputExitsTwoWithOneLine) {
  const std::string max = "18446744073709551615";
  for (const auto& args : std::vector<std::vector<std::string>>{
           {"totp", "NOT-BASE32"},
           {"totp", "ABC"},
           {"totp", "-d", "7", secret20},
           {"totp", "-d", "six", secret20},
           {"totp", "-p", "9.99", secret20},
           {"totp", "-p", "300.5", secret20},
           {"totp", "-p", "nan", secret20},
           {"totp", "-a", "MD5", secret20},
           {"totp", "-a", "SHA-1", secret20},
           {"totp", "-t", "-1", secret20},
           {"totp", "-t", "1e300", secret20},
           {"totp", "-t", "59"},
           {"totp", "-w", "-t", "59", secret20},
           {"totp", "-x", secret20},
           {"totp", secret20, secret20},
           {"totp", "-d"},
           {"hotp", secret20},
           {"hotp", "-c", "-1", secret20},
           {"hotp", "-c", "18446744073709551616", secret20},
           {"hotp", "-c", "0", "-n", "0", secret20},
           {"hotp", "-c", max, "-n", "2", secret20},
           {"hotp", "-c", "0", "-d", "10", secret20},
           {"hotp", "-p", "30", "-c", "0", secret20},
       }) {
    const auto result = run(args);
    std::string joined;
    for (const auto& arg : args) {
      joined += arg + ' ';
    }
    EXPECT_EQ(result.status, 2) << joined;
    EXPECT_EQ(result.out, "") << joined;
    EXPECT_TRUE(std::regex_match(result.err, std::regex("tervala: [^\n]+\n")))
        << joined << "-> " << result.err;
  }
}

TEST(OtpCli, LastCounterValueStillHasItsCode) {
  const auto result = run({"hotp", "-c", "18446744073709551614", "-n", "2", secret20});
  EXPECT_EQ(result.status, 0);
  EXPECT_TRUE(std::regex_match(result.out, std::regex("[0-9]{6}\n[0-9]{6}\n"))) << result.out;
}

TEST(OtpCli, DebugLinesGoToStandardErrorOnlyWithDebug) {
  const auto quiet = run({"totp", "-t", "59", "ABC"});
  EXPECT_EQ(quiet.err, "tervala: the secret is not valid Base32\n");
  const auto debug = run({"--debug", "hotp", "-c", "0", secret20});
  EXPECT_EQ(debug.status, 0);
  EXPECT_EQ(debug.out, "755224\n");
  EXPECT_EQ(debug.err,
            "Tervala.HotpGeneratorContext init(secret:digits:algorithm:counter:)\n"
            "Tervala.OtpGeneratorContext init(secret:digits:algorithm:)\n"
            "Tervala.HotpGeneratorContext create()\n"
            "Tervala.OtpGeneratorContext create\n");
  const auto refused = run({"--debug", "totp", "ABC"});
  EXPECT_EQ(refused.status, 2);
  EXPECT_NE(refused.err.find("String length is invalid.\n"), std::string::npos) << refused.err;
}

TEST(OtpCli, WatchShowsACountdownUntilInterrupted) {
  Tool tool({"totp", "-w", secret20});
  tool.send("");
  tool.readUntil(1);
  tool.interrupt();
  const auto result = tool.finish();
  EXPECT_EQ(result.status, 0);
  EXPECT_TRUE(std::regex_search(result.out, std::regex("\r[0-9]{6} \\[[#.]{30}\\] +[0-9]+s "))) << result.out;
  EXPECT_TRUE(result.out.ends_with("\n"));
}

}  // namespace
