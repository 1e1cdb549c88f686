#include "frame/HiddenPrompt.hpp"

#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <termios.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <csignal>
#include <optional>
#include <system_error>

#include "frame/Input.hpp"

namespace tervala::cli {
namespace {

// The signal that arrived while the terminal was silent; 0 for none.
volatile std::sig_atomic_t caught = 0;

extern "C" void holdSignal(int signal) {
  caught = signal;
}

// The signals that would end the process with the terminal's echo still off.
constexpr std::array heldSignals{SIGINT, SIGTERM, SIGHUP, SIGQUIT};

// Holds those signals for the life of the question: without SA_RESTART, so the read returns.
class SignalHold {
 public:
  SignalHold() {
    caught = 0;
    struct sigaction hold {};
    hold.sa_handler = holdSignal;
    sigemptyset(&hold.sa_mask);
    for (std::size_t i = 0; i < heldSignals.size(); ++i) {
      ::sigaction(heldSignals[i], &hold, &saved_[i]);
    }
  }
  ~SignalHold() {
    for (std::size_t i = 0; i < heldSignals.size(); ++i) {
      ::sigaction(heldSignals[i], &saved_[i], nullptr);
    }
  }
  SignalHold(const SignalHold&) = delete;
  SignalHold& operator=(const SignalHold&) = delete;

 private:
  std::array<struct sigaction, heldSignals.size()> saved_{};
};

// Blocks the held signals on this thread for its life; `outside()` is the mask before.
class SignalMask {
 public:
  SignalMask() {
    sigset_t held;
    sigemptyset(&held);
    for (const int signal : heldSignals) {
      sigaddset(&held, signal);
    }
    ::pthread_sigmask(SIG_BLOCK, &held, &outside_);
  }
  ~SignalMask() { ::pthread_sigmask(SIG_SETMASK, &outside_, nullptr); }
  SignalMask(const SignalMask&) = delete;
  SignalMask& operator=(const SignalMask&) = delete;

  [[nodiscard]] const sigset_t& outside() const noexcept { return outside_; }

 private:
  sigset_t outside_{};
};

class Terminal {
 public:
  Terminal() : fd_(::open("/dev/tty", O_RDWR | O_NOCTTY | O_CLOEXEC)) {}
  ~Terminal() {
    if (saved_) {
      ::tcsetattr(fd_, TCSANOW, &*saved_);
    }
    if (fd_ >= 0) {
      ::close(fd_);
    }
  }
  Terminal(const Terminal&) = delete;
  Terminal& operator=(const Terminal&) = delete;

  [[nodiscard]] int fd() const noexcept { return fd_; }

  // Turns echo off until the end of this object; false when the terminal cannot.
  bool silence() {
    termios settings{};
    if (::tcgetattr(fd_, &settings) != 0) {
      return false;
    }
    saved_ = settings;
    settings.c_lflag &= ~static_cast<tcflag_t>(ECHO | ECHONL);
    return ::tcsetattr(fd_, TCSANOW, &settings) == 0;
  }

  void write(std::string_view text) const {
    while (!text.empty()) {
      const ssize_t written = ::write(fd_, text.data(), text.size());
      if (written < 0 && errno == EINTR && caught == 0) {
        continue;
      }
      if (written <= 0) {
        return;
      }
      text.remove_prefix(static_cast<std::size_t>(written));
    }
  }

 private:
  int fd_;
  std::optional<termios> saved_;
};

// Reads the line with echo off; the settings and the signals are back once this returns.
std::variant<platform::SecretText, PromptProblem> readLine(std::string_view prompt) {
  const SignalHold hold;
  Terminal terminal;
  if (terminal.fd() < 0) {
    return PromptProblem{"cannot open the terminal: " + std::generic_category().message(errno)};
  }
  if (!terminal.silence()) {
    return PromptProblem{"cannot turn the terminal's echo off"};
  }
  // The held signals are let in only while waiting for input (ppoll swaps the mask atomically):
  // one that came between the check of `caught` and a blocking read would leave the read
  // waiting for ever, with echo off.
  const SignalMask mask;
  terminal.write(prompt);
  // Sized once up front: growing would leave copies behind.
  platform::SecretText line(maxSecretInput + 1);
  std::size_t got = 0;
  while (caught == 0 && got < line.size()) {
    pollfd ready{terminal.fd(), POLLIN, 0};
    if (::ppoll(&ready, 1, nullptr, &mask.outside()) < 0) {
      if (errno == EINTR) {
        continue;
      }
      break;
    }
    const ssize_t read = ::read(terminal.fd(), &line[got], 1);
    if (read < 0 && errno == EINTR) {
      continue;
    }
    if (read <= 0 || line[got] == '\n') {
      break;
    }
    ++got;
  }
  terminal.write("\n");  // the Enter key was not echoed
  if (caught != 0) {
    return PromptProblem{"interrupted", caught};
  }
  if (got > maxSecretInput) {
    return PromptProblem{"the answer holds more than 64 KiB"};
  }
  line.resize(got);
  if (!line.empty() && line.back() == '\r') {
    line.pop_back();
  }
  return line;
}

}  // namespace

std::variant<platform::SecretText, PromptProblem> askHidden(std::string_view prompt) {
  auto answer = readLine(prompt);
  if (auto* problem = std::get_if<PromptProblem>(&answer); problem != nullptr && problem->signal != 0) {
    // The echo is back: let the signal do what it would have done.
    std::raise(problem->signal);
  }
  return answer;
}

}  // namespace tervala::cli
