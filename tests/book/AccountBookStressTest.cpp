// Two processes asking one HOTP account of one book for codes at once: each counter is given
// once, and each process sees its own in rising order.
#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <fstream>
#include <iterator>
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
[[noreturn]] void stepCounters(const std::filesystem::path& file, const std::filesystem::path& out) {
  SettingsStore store(file);
  OtpAccountBook book(store, nullptr, OtpAccountBook::Place::file);
  const auto account = book.find("Bank", "alice");
  int status = account.ok() ? 0 : 1;
  std::ofstream lines(out);
  for (int i = 0; i < codesEach && status == 0; ++i) {
    const auto code = book.code(*account, 0);
    status = code.ok() ? 0 : 2;
    lines << (code.ok() ? std::to_string(code->counter) + "\n" : "");
  }
  lines.close();
  ::_exit(lines ? status : 3);
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
  for (std::size_t i = 0; i < children.size(); ++i) {
    children[i] = ::fork();
    ASSERT_GE(children[i], 0);
    if (children[i] == 0) {
      stepCounters(file, folder / ("counters-" + std::to_string(i)));
    }
  }
  std::vector<std::uint64_t> all;
  for (std::size_t i = 0; i < children.size(); ++i) {
    int status = -1;
    ASSERT_EQ(::waitpid(children[i], &status, 0), children[i]);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    std::ifstream lines(folder / ("counters-" + std::to_string(i)));
    const std::vector<std::uint64_t> mine{std::istream_iterator<std::uint64_t>(lines), {}};
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
