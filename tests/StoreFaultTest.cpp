// The settings store under faults of real processes and real files: a writer killed at random
// moments, two writer processes at once, a location that cannot be written or is full, and a
// database file with random bytes over it. A token read back is always one that was written
// whole, and `store` reports the truth.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <optional>
#include <random>
#include <string>
#include <system_error>

#include <sqlite3.h>

#include <tervala/Debug.hpp>
#include <tervala/OAuthToken.hpp>
#include <tervala/SettingsStore.hpp>

#include "support/TokenTestSupport.hpp"

namespace tervala {
namespace {

namespace fs = std::filesystem;

constexpr int storesPerWriter = 1000;
constexpr uid_t nobody = 65534;

// A token whose every field names `writer` and `index`, so a torn one is seen at once.
OAuthToken makeToken(const std::string& writer, int index, std::size_t padding = 0) {
  const std::string tag = writer + "-" + std::to_string(index);
  return OAuthToken("access-" + tag, "Bearer", "refresh-" + tag,
                    Date(std::chrono::seconds(1'800'000'000 + index)), "scope-" + tag + ",read",
                    {{"tag", tag}, {"padding", std::string(padding, 'p')}});
}

// True when `token` is exactly makeToken(writer, index, padding) for some index in [0, count).
bool isWrittenToken(const OAuthToken& token, const std::string& writer, int count, std::size_t padding = 0) {
  const std::string prefix = "access-" + writer + "-";
  if (!token.accessToken().starts_with(prefix)) {
    return false;
  }
  const std::string number = token.accessToken().substr(prefix.size());
  if (number.empty() || number.size() > 6 || number.find_first_not_of("0123456789") != std::string::npos) {
    return false;
  }
  const int index = std::stoi(number);
  if (index >= count) {
    return false;
  }
  const OAuthToken expected = makeToken(writer, index, padding);
  return token.tokenType() == expected.tokenType() && token.refreshToken() == expected.refreshToken() &&
         token.expiresOn() == expected.expiresOn() && token.scope() == expected.scope() &&
         token.additionalData() == expected.additionalData();
}

class StoreFaultTest : public ::testing::Test {
 protected:
  void SetUp() override {
    setDebugSink(nullptr);
    file_ = folder_ / "settings" / "settings.sqlite3";
  }
  void TearDown() override {
    std::error_code ignored;
    fs::permissions(folder_ / "settings", fs::perms::owner_all, ignored);
    resetDebugSink();
  }

  test::TemporaryFolder folder_;
  fs::path file_;
};

TEST_F(StoreFaultTest, WriterKilledAtRandomMomentsLeavesAWholeWrittenToken) {
  std::mt19937 random(20261206);
  {
    SettingsStore settings(file_);
    ASSERT_TRUE(makeToken("before", 0).store(settings));
  }
  for (int round = 0; round < 8; ++round) {
    int progress[2];
    ASSERT_EQ(::pipe(progress), 0);
    const pid_t writer = ::fork();
    ASSERT_GE(writer, 0);
    if (writer == 0) {
      ::close(progress[0]);
      SettingsStore settings(file_);
      for (int i = 0; i < storesPerWriter; ++i) {
        if (!makeToken("writer", i).store(settings)) {
          ::_exit(1);
        }
        const char tick = 1;
        (void)!::write(progress[1], &tick, 1);
      }
      ::_exit(0);
    }
    ::close(progress[1]);
    // Kill somewhere among the 1000 stores: after a random number of them, a random few
    // microseconds into the next one.
    const int after = std::uniform_int_distribution<int>(0, storesPerWriter / 8)(random);
    char tick = 0;
    for (int done = 0; done < after && ::read(progress[0], &tick, 1) == 1; ++done) {
    }
    ::usleep(std::uniform_int_distribution<useconds_t>(0, 3000)(random));
    ::kill(writer, SIGKILL);
    int status = 0;
    ASSERT_EQ(::waitpid(writer, &status, 0), writer);
    ::close(progress[0]);

    SettingsStore settings(file_);
    const auto token = OAuthToken::retrieve(settings);
    ASSERT_NE(token, nullptr) << "round " << round;
    EXPECT_TRUE(isWrittenToken(*token, "writer", storesPerWriter) || isWrittenToken(*token, "before", 1))
        << "round " << round << ": " << token->accessToken();
  }
  // The store still takes writes after all the interrupted ones.
  SettingsStore settings(file_);
  ASSERT_TRUE(makeToken("after", 0).store(settings));
  const auto token = OAuthToken::retrieve(settings);
  ASSERT_NE(token, nullptr);
  EXPECT_TRUE(isWrittenToken(*token, "after", 1));
}

TEST_F(StoreFaultTest, TwoProcessesStoringAtOnceBothSucceedAndReadWholeTokens) {
  // Each writer stores 1000 tokens and reads back after each: every store must succeed and every
  // read give a whole token of one of the two writers.
  const auto writer = [this](const std::string& name, const std::string& other) {
    return [this, name, other] {
      SettingsStore settings(file_);
      for (int i = 0; i < storesPerWriter; ++i) {
        if (!makeToken(name, i).store(settings)) {
          return 1;
        }
        const auto token = OAuthToken::retrieve(settings);
        if (!token || !(isWrittenToken(*token, name, storesPerWriter) ||
                        isWrittenToken(*token, other, storesPerWriter))) {
          return 2;
        }
      }
      return 0;
    };
  };
  int statusA = -1;
  int statusB = -1;
  const pid_t second = ::fork();
  ASSERT_GE(second, 0);
  if (second == 0) {
    ::_exit(writer("B", "A")());
  }
  statusA = test::runInChild(writer("A", "B"));
  int status = 0;
  ASSERT_EQ(::waitpid(second, &status, 0), second);
  statusB = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  EXPECT_EQ(statusA, 0) << "1: a store failed, 2: a read gave no whole token";
  EXPECT_EQ(statusB, 0) << "1: a store failed, 2: a read gave no whole token";

  SettingsStore settings(file_);
  const auto last = OAuthToken::retrieve(settings);
  ASSERT_NE(last, nullptr);
  EXPECT_TRUE(last->accessToken() == "access-A-999" || last->accessToken() == "access-B-999")
      << last->accessToken();
}

// Another writer that holds the write lock for 60 ms at a time with only a tenth of a millisecond
// between its transactions, for six seconds: a store waits its turn and gets one of those gaps
// within the store's five-second patience, rather than sleeping past nearly all of them.
TEST_F(StoreFaultTest, StoreGetsItsTurnBesideABusyWriter) {
  {
    SettingsStore settings(file_);
    ASSERT_TRUE(makeToken("before", 0).store(settings));
  }
  int started[2];
  ASSERT_EQ(::pipe(started), 0);
  const pid_t neighbour = ::fork();
  ASSERT_GE(neighbour, 0);
  if (neighbour == 0) {
    sqlite3* db = nullptr;
    if (sqlite3_open_v2(file_.c_str(), &db, SQLITE_OPEN_READWRITE, nullptr) != SQLITE_OK) {
      ::_exit(1);
    }
    sqlite3_busy_timeout(db, 5000);
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(6);
    bool told = false;
    while (std::chrono::steady_clock::now() < until) {
      if (sqlite3_exec(db, "BEGIN IMMEDIATE; INSERT OR REPLACE INTO settings VALUES ('neighbour', x'00')",
                       nullptr, nullptr, nullptr) != SQLITE_OK) {
        ::_exit(2);
      }
      if (!told) {
        const char ready = 1;
        (void)!::write(started[1], &ready, 1);
        told = true;
      }
      ::usleep(60000);
      if (sqlite3_exec(db, "COMMIT", nullptr, nullptr, nullptr) != SQLITE_OK) {
        ::_exit(3);
      }
      ::usleep(100);
    }
    sqlite3_close(db);
    ::_exit(0);
  }
  ::close(started[1]);
  char ready = 0;
  ASSERT_EQ(::read(started[0], &ready, 1), 1);
  ::close(started[0]);

  SettingsStore settings(file_);
  const bool stored = makeToken("after", 0).store(settings);
  int status = 0;
  ASSERT_EQ(::waitpid(neighbour, &status, 0), neighbour);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "the neighbour writer failed";
  EXPECT_TRUE(stored) << "the store gave up beside a writer that leaves gaps";
  const auto token = OAuthToken::retrieve(settings);
  ASSERT_NE(token, nullptr);
  EXPECT_TRUE(isWrittenToken(*token, stored ? "after" : "before", 1));
}

// Runs `body` in a child that cannot write the settings folder: as "nobody" when this process
// is root (who writes anywhere), else as itself; the folder and file are read-only either way.
int withReadOnlyFolder(const fs::path& folder, const std::function<int()>& body) {
  const bool root = ::geteuid() == 0;
  // The temporary folder above it must let the child through.
  if (::chmod(folder.parent_path().c_str(), 0711) != 0) {
    return -2;
  }
  for (const auto& entry : fs::recursive_directory_iterator(folder)) {
    if (root && ::chown(entry.path().c_str(), nobody, nobody) != 0) {
      return -2;
    }
    ::chmod(entry.path().c_str(), 0400);
  }
  if ((root && ::chown(folder.c_str(), nobody, nobody) != 0) || ::chmod(folder.c_str(), 0500) != 0) {
    return -2;
  }
  return test::runInChild([&] {
    if (root && (::setgid(nobody) != 0 || ::setuid(nobody) != 0)) {
      return 97;
    }
    return body();
  });
}

TEST_F(StoreFaultTest, ReadOnlyLocationReportsFailureAndKeepsEarlierToken) {
  {
    SettingsStore settings(file_);
    ASSERT_TRUE(makeToken("before", 0).store(settings));
  }
  const int status = withReadOnlyFolder(file_.parent_path(), [this] {
    SettingsStore settings(file_);
    if (makeToken("after", 0).store(settings)) {
      return 1;  // claimed a write that cannot have happened
    }
    const auto token = OAuthToken::retrieve(settings);
    return token && isWrittenToken(*token, "before", 1) ? 0 : 2;
  });
  EXPECT_EQ(status, 0) << "1: store reported success, 2: the earlier token was not readable";
  for (const auto& entry : fs::recursive_directory_iterator(file_.parent_path())) {
    ASSERT_EQ(::chown(entry.path().c_str(), ::geteuid(), ::getegid()), 0);  // ours again
  }
  ASSERT_EQ(::chown(file_.parent_path().c_str(), ::geteuid(), ::getegid()), 0);
  ::chmod(file_.parent_path().c_str(), 0700);
  SettingsStore settings(file_);
  const auto token = OAuthToken::retrieve(settings);
  ASSERT_NE(token, nullptr);
  EXPECT_TRUE(isWrittenToken(*token, "before", 1));
}

TEST_F(StoreFaultTest, ReadOnlyFolderWithoutDatabaseReportsFailure) {
  fs::create_directories(file_.parent_path());
  const int status = withReadOnlyFolder(file_.parent_path(), [this] {
    SettingsStore settings(file_);
    if (makeToken("after", 0).store(settings)) {
      return 1;
    }
    return OAuthToken::retrieve(settings) == nullptr ? 0 : 2;
  });
  EXPECT_EQ(status, 0) << "1: store reported success, 2: a token appeared";
}

// A full disk, made with the file size limit: every write past `limit` bytes of any file fails.
// Whatever the limit, `store` must say whether the new token got there, and the old one must
// stay when it did not.
TEST_F(StoreFaultTest, FullLocationReportsTheTruthAndKeepsEarlierToken) {
  constexpr std::size_t padding = 20000;  // the new token needs pages beyond the first few
  for (const rlim_t limit : {rlim_t{0}, rlim_t{512}, rlim_t{4096}, rlim_t{8192}, rlim_t{16384}, rlim_t{24576},
                             rlim_t{32768}, rlim_t{1} << 20}) {
    std::error_code ignored;
    fs::remove_all(file_.parent_path(), ignored);
    {
      SettingsStore settings(file_);
      ASSERT_TRUE(makeToken("before", 0).store(settings));
    }
    const int status = test::runInChild([&] {
      ::signal(SIGXFSZ, SIG_IGN);  // a write past the limit fails with EFBIG instead of killing
      const rlimit size{limit, limit};
      if (::setrlimit(RLIMIT_FSIZE, &size) != 0) {
        return 97;
      }
      SettingsStore settings(file_);
      return makeToken("after", 0, padding).store(settings) ? 1 : 0;
    });
    ASSERT_TRUE(status == 0 || status == 1) << "limit " << limit << ": child status " << status;
    const bool stored = status == 1;
    SettingsStore settings(file_);
    const auto token = OAuthToken::retrieve(settings);
    ASSERT_NE(token, nullptr) << "limit " << limit;
    if (stored) {
      EXPECT_TRUE(isWrittenToken(*token, "after", 1, padding)) << "limit " << limit << ": store said yes";
    } else {
      EXPECT_TRUE(isWrittenToken(*token, "before", 1)) << "limit " << limit << ": store said no";
    }
    if (limit == 0) {
      EXPECT_FALSE(stored) << "nothing can be written with a limit of 0";
    }
    if (limit == rlim_t{1} << 20) {
      EXPECT_TRUE(stored) << "a megabyte is room enough";
    }
  }
}

// Random bytes over parts of the database file: `retrieve` yields absent or the token that was
// there, `store` either works (and then reads back) or says it failed; nothing crashes.
TEST_F(StoreFaultTest, CorruptDatabaseNeverYieldsAForeignTokenAndStoreTellsTheTruth) {
  struct Damage {
    const char* name;
    std::function<void(std::fstream&, std::size_t, std::mt19937&)> apply;
  };
  const auto randomBytes = [](std::fstream& file, std::size_t from, std::size_t count, std::mt19937& random) {
    file.seekp(static_cast<std::streamoff>(from));
    for (std::size_t i = 0; i < count; ++i) {
      file.put(static_cast<char>(random() & 0xFFU));
    }
  };
  const Damage damages[] = {
      {"whole file", [&](std::fstream& f, std::size_t size, std::mt19937& r) { randomBytes(f, 0, size, r); }},
      {"header", [&](std::fstream& f, std::size_t, std::mt19937& r) { randomBytes(f, 0, 100, r); }},
      {"after header",
       [&](std::fstream& f, std::size_t size, std::mt19937& r) { randomBytes(f, 100, size - 100, r); }},
      {"second page on", [&](std::fstream& f, std::size_t size,
                             std::mt19937& r) { randomBytes(f, 4096, size > 4096 ? size - 4096 : 0, r); }},
      {"scattered",
       [&](std::fstream& f, std::size_t size, std::mt19937& r) {
         for (int i = 0; i < 64; ++i) {
           randomBytes(f, std::uniform_int_distribution<std::size_t>(0, size - 8)(r), 8, r);
         }
       }},
  };
  for (const bool keepConnection : {false, true}) {
    for (const Damage& damage : damages) {
      for (unsigned seed = 1; seed <= 4; ++seed) {
        const std::string where = std::string(damage.name) + " seed " + std::to_string(seed) +
                                  (keepConnection ? " (open connection)" : " (fresh connection)");
        std::error_code ignored;
        fs::remove_all(file_.parent_path(), ignored);
        auto early = std::make_unique<SettingsStore>(file_);
        ASSERT_TRUE(makeToken("before", 0).store(*early));
        if (!keepConnection) {
          early.reset();
        }
        {
          const std::size_t size = fs::file_size(file_);
          std::fstream file(file_, std::ios::in | std::ios::out | std::ios::binary);
          std::mt19937 random(seed);
          damage.apply(file, size, random);
        }
        SettingsStore fresh(file_);
        SettingsStore& settings = keepConnection ? *early : fresh;
        const auto read = OAuthToken::retrieve(settings);
        EXPECT_TRUE(read == nullptr || isWrittenToken(*read, "before", 1)) << where;
        const bool stored = makeToken("after", 0).store(settings);
        const auto after = OAuthToken::retrieve(settings);
        if (stored) {
          ASSERT_NE(after, nullptr) << where << ": store said yes";
          EXPECT_TRUE(isWrittenToken(*after, "after", 1)) << where;
        } else {
          EXPECT_TRUE(after == nullptr || isWrittenToken(*after, "before", 1)) << where;
        }
      }
    }
  }
}

}  // namespace
}  // namespace tervala
