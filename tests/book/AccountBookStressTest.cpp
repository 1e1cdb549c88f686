// Two processes asking one HOTP account of one book for codes at once: each counter is given
// once, and each process sees its own in rising order.
#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cstdio>
#include <string>
#include <vector>

#include <tervala/OtpAccountBook.hpp>
#include <tervala/SettingsStore.hpp>

#include "support/TokenTestSupport.hpp"

namespace tervala {
namespace {

constexpr int codesEach = 1000;
constexpr std::uint64_t firstCounter = 40;

// In the child: writes each counter it was given to `out`, one a line; exits 0 when all came.
[[noreturn]] void stepCounters(const std::filesystem::path& file, int out) {
  SettingsStore store(file);
  OtpAccountBook book(store, nullptr, OtpAccountBook::Place::file);
  const auto account = book.find("Bank", "alice");
  int status = account.ok() ? 0 : 1;
  std::string lines;
  for (int i = 0; i < codesEach && status == 0; ++i) {
    const auto code = book.code(*account, 0);
    status = code.ok() ? 0 : 2;
    lines += code.ok() ? std::to_string(code->counter) + "\n" : "";
  }
  const auto written = ::write(out, lines.data(), lines.size());
  ::_exit(written == static_cast<ssize_t>(lines.size()) ? status : 3);
}

std::vector<std::uint64_t> counters(const std::string& text) {
  std::vector<std::uint64_t> values;
  std::size_t at = 0;
  while (at < text.size()) {
    const auto end = text.find('\n', at);
    values.push_back(std::stoull(text.substr(at, end - at)));
    at = end + 1;
  }
  return values;
}

TEST(AccountBookStress, TwoProcessesSteppingOneHotpAccountNeverShareACounter) {
  test::TemporaryFolder folder;
  const auto file = folder / "settings.sqlite3";
  {
    SettingsStore store(file);
    OtpAccountBook book(store, nullptr, OtpAccountBook::Place::file);
    const auto key =
        OtpAuthUri::parse("otpauth://hotp/Bank:alice?secret=JBSWY3DPEHPK3PXP&issuer=Bank&counter=" +
                          std::to_string(firstCounter));
    ASSERT_TRUE(book.add(*key).ok());
  }
  std::array<pid_t, 2> children{};
  std::array<int, 2> reads{};
  for (std::size_t i = 0; i < children.size(); ++i) {
    std::array<int, 2> pipe{};
    ASSERT_EQ(::pipe(pipe.data()), 0);
    children[i] = ::fork();
    ASSERT_GE(children[i], 0);
    if (children[i] == 0) {
      ::close(pipe[0]);
      stepCounters(file, pipe[1]);
    }
    ::close(pipe[1]);
    reads[i] = pipe[0];
  }
  std::vector<std::uint64_t> all;
  for (std::size_t i = 0; i < children.size(); ++i) {
    std::string text;
    std::array<char, 4096> buffer{};
    ssize_t got = 0;
    while ((got = ::read(reads[i], buffer.data(), buffer.size())) > 0) {
      text.append(buffer.data(), static_cast<std::size_t>(got));
    }
    ::close(reads[i]);
    int status = -1;
    ASSERT_EQ(::waitpid(children[i], &status, 0), children[i]);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    const auto mine = counters(text);
    EXPECT_EQ(mine.size(), static_cast<std::size_t>(codesEach));
    EXPECT_TRUE(std::is_sorted(mine.begin(), mine.end()) &&
                std::adjacent_find(mine.begin(), mine.end()) == mine.end());
    all.insert(all.end(), mine.begin(), mine.end());
  }
  std::sort(all.begin(), all.end());
  ASSERT_EQ(all.size(), 2U * codesEach);
  for (std::size_t i = 0; i < all.size(); ++i) {
    ASSERT_EQ(all[i], firstCounter + i);  // every counter once, none skipped
  }
}

}  // namespace
}  // namespace tervala
