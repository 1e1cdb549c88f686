#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include <tervala/OAuthToken.hpp>
#include <tervala/SettingsStore.hpp>

#include "support/TokenTestSupport.hpp"

namespace tervala {
namespace {

using test::runInChild;
using test::TemporaryFolder;

mode_t modeOf(const std::filesystem::path& path) {
  struct stat status {};
  return ::stat(path.c_str(), &status) == 0 ? (status.st_mode & 07777) : 0;
}

// A value whose every byte says who wrote it, so a torn or mixed value shows.
Data stamped(std::uint8_t writer, std::size_t size) {
  return Data(size, writer);
}

bool isWhole(const std::optional<Data>& value, std::size_t size) {
  return value && value->size() == size &&
         std::all_of(value->begin(), value->end(), [&](std::uint8_t b) { return b == value->front(); });
}

OAuthToken numberedToken(const std::string& prefix, int number) {
  // A sizeable additionalData makes each write span several pages.
  return OAuthToken(prefix + std::to_string(number), "Bearer", "refresh",
                    Date(std::chrono::seconds(2'000'000'000)), "read",
                    {{"padding", std::string(20000, static_cast<char>('a' + number % 26))}});
}

class SettingsStoreFile : public ::testing::Test {
 protected:
  TemporaryFolder folder;
  std::filesystem::path file = folder / "settings.sqlite3";
};

TEST_F(SettingsStoreFile, KeepsBytesPerKeyAcrossInstances) {
  SettingsStore store(file);
  EXPECT_EQ(store.location(), file);
  EXPECT_FALSE(store.data("token"));
  const Data binary = {0x00, 0xFF, 0x00, 'x'};
  ASSERT_TRUE(store.setData("token", binary));
  ASSERT_TRUE(store.setData("empty", {}));
  ASSERT_TRUE(store.setData("other", {1}));
  ASSERT_TRUE(store.setData("other", {2, 3}));
  EXPECT_EQ(store.data("token"), binary);
  EXPECT_EQ(store.data("empty"), Data{});
  EXPECT_EQ(store.data("other"), (Data{2, 3}));
  EXPECT_FALSE(store.data("Token"));

  SettingsStore reopened(file);
  EXPECT_EQ(reopened.data("token"), binary);
  EXPECT_EQ(reopened.data("other"), (Data{2, 3}));
}

TEST_F(SettingsStoreFile, RefusesOversizedKeysAndValuesKeepingTheEarlierValue) {
  SettingsStore store(file);
  ASSERT_TRUE(store.setData("k", {7}));
  EXPECT_FALSE(store.setData("k", Data(SettingsStore::maxValueSize + 1)));
  EXPECT_FALSE(store.setData(std::string(SettingsStore::maxKeySize + 1, 'k'), {1}));
  EXPECT_FALSE(store.data(std::string(SettingsStore::maxKeySize + 1, 'k')));
  EXPECT_EQ(store.data("k"), Data{7});
  ASSERT_TRUE(store.setData("k", Data(SettingsStore::maxValueSize, 1)));
  EXPECT_EQ(store.data("k")->size(), SettingsStore::maxValueSize);
  ASSERT_TRUE(store.setData(std::string(SettingsStore::maxKeySize, 'k'), {1}));
}

TEST_F(SettingsStoreFile, CreatesOwnerOnlyFoldersAndFile) {
  const mode_t previous = ::umask(0);  // even a permissive umask must not open them up
  const auto nested = folder / "config" / "app" / "settings.sqlite3";
  SettingsStore store(nested);
  const bool stored = store.setData("token", {1});
  ::umask(previous);
  ASSERT_TRUE(stored);
  EXPECT_EQ(modeOf(folder / "config"), 0700U);
  EXPECT_EQ(modeOf(folder / "config" / "app"), 0700U);
  EXPECT_EQ(modeOf(nested), 0600U);
}

TEST_F(SettingsStoreFile, UnusableFilesGiveFailureValues) {
  {
    std::ofstream garbage(file, std::ios::binary);
    garbage << std::string(8192, '\x5a');
  }
  SettingsStore corrupt(file);
  EXPECT_FALSE(corrupt.data("token"));
  EXPECT_FALSE(corrupt.setData("token", {1}));

  std::filesystem::create_directory(folder / "dir.sqlite3");
  SettingsStore directory(folder / "dir.sqlite3");
  EXPECT_FALSE(directory.setData("token", {1}));
  EXPECT_FALSE(directory.data("token"));

  SettingsStore belowFile(file / "settings.sqlite3");
  EXPECT_FALSE(belowFile.setData("token", {1}));

  SettingsStore nowhere{std::filesystem::path()};
  EXPECT_FALSE(nowhere.setData("token", {1}));
  EXPECT_FALSE(nowhere.data("token"));
}

TEST_F(SettingsStoreFile, ReadOnlyFileCanBeReadButNotWritten) {
  ASSERT_TRUE(SettingsStore(file).setData("token", {4, 2}));
  // Root ignores permissions, so the check runs as an unprivileged user when the tests run as root.
  std::filesystem::permissions(folder.path(), std::filesystem::perms(0755));
  std::filesystem::permissions(file, std::filesystem::perms(0444));
  const bool asRoot = ::geteuid() == 0;
  if (!asRoot) {
    std::filesystem::permissions(folder.path(), std::filesystem::perms(0555));
  }
  const int status = runInChild([&] {
    if (asRoot && (::setgid(65534) != 0 || ::setuid(65534) != 0)) {
      return 10;
    }
    SettingsStore store(file);
    if (store.data("token") != Data{4, 2}) {
      return 1;
    }
    if (store.setData("token", {9})) {
      return 2;
    }
    return store.data("token") == Data{4, 2} ? 0 : 3;
  });
  EXPECT_EQ(status, 0);
  EXPECT_EQ(SettingsStore(file).data("token"), (Data{4, 2}));
}

TEST_F(SettingsStoreFile, ThreadsWritingAtOnceNeverTearAValue) {
  constexpr int writers = 4;
  constexpr int rounds = 20;
  constexpr std::size_t size = std::size_t{64} * 1024;
  SettingsStore shared(file);
  std::atomic<int> failures{0};
  std::atomic<bool> writing{true};
  std::vector<std::thread> threads;
  threads.reserve(writers);
  for (int writer = 0; writer < writers; ++writer) {
    threads.emplace_back([&, writer] {
      // Half the threads share one connection, the others each open their own.
      SettingsStore own(file);
      SettingsStore& store = writer % 2 == 0 ? shared : own;
      for (int round = 0; round < rounds; ++round) {
        if (!store.setData("shared", stamped(static_cast<std::uint8_t>(writer + 1), size)) ||
            !store.setData("own-" + std::to_string(writer),
                           stamped(static_cast<std::uint8_t>(round + 1), 16))) {
          ++failures;
        }
      }
    });
  }
  std::thread reader([&] {
    SettingsStore store(file);
    while (writing) {
      const auto value = store.data("shared");
      if (value && !isWhole(value, size)) {
        ++failures;
      }
    }
  });
  for (auto& thread : threads) {
    thread.join();
  }
  writing = false;
  reader.join();
  EXPECT_EQ(failures, 0);
  EXPECT_TRUE(isWhole(shared.data("shared"), size));
  for (int writer = 0; writer < writers; ++writer) {
    EXPECT_EQ(shared.data("own-" + std::to_string(writer)), stamped(rounds, 16));
  }
}

TEST_F(SettingsStoreFile, TwoProcessesStoringAtOnceLoseNoToken) {
  constexpr int stores = 15;
  std::vector<pid_t> children;
  for (int child = 0; child < 2; ++child) {
    const pid_t pid = ::fork();
    if (pid == 0) {
      int failures = 0;
      SettingsStore store(file);
      for (int i = 0; i < stores; ++i) {
        const std::string prefix = "child-" + std::to_string(child) + "-";
        failures += numberedToken(prefix, i).store(store) ? 0 : 1;
        failures += OAuthToken::retrieve(store) ? 0 : 1;
      }
      ::_exit(failures);
    }
    ASSERT_GT(pid, 0);
    children.push_back(pid);
  }
  for (const pid_t pid : children) {
    int status = 0;
    ASSERT_EQ(::waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0) << "stores or retrieves failed in a child";
  }
  SettingsStore store(file);
  const auto last = OAuthToken::retrieve(store);
  ASSERT_TRUE(last);
  const std::string lastName = last->accessToken();
  EXPECT_TRUE(lastName == "child-0-" + std::to_string(stores - 1) ||
              lastName == "child-1-" + std::to_string(stores - 1))
      << lastName;
  EXPECT_EQ(last->additionalData(), numberedToken("", stores - 1).additionalData());
}

TEST_F(SettingsStoreFile, AForkedChildOpensItsOwnConnection) {
  SettingsStore store(file);
  ASSERT_TRUE(store.setData("k", {1}));  // the parent's connection is open now
  const int status = runInChild([&] {
    if (store.data("k") != Data{1} || !store.setData("k", {2})) {
      return 1;
    }
    return store.data("k") == Data{2} ? 0 : 2;
  });
  EXPECT_EQ(status, 0);
  EXPECT_EQ(store.data("k"), Data{2});
  EXPECT_TRUE(store.setData("k", {3}));
  EXPECT_EQ(SettingsStore(file).data("k"), Data{3});
}

TEST_F(SettingsStoreFile, AWriterKilledMidStoreLeavesAReadableToken) {
  for (const int killAfter : {1, 4, 9}) {
    int ready[2];
    ASSERT_EQ(::pipe(ready), 0);
    const pid_t pid = ::fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
      ::close(ready[0]);
      SettingsStore store(file);
      for (int i = 0;; ++i) {
        if (numberedToken("killed-", i).store(store)) {
          const char done = 1;
          (void)::write(ready[1], &done, 1);
        }
      }
    }
    ::close(ready[1]);
    // Kill as soon as enough stores have committed: the child is then inside its next store.
    int seen = 0;
    char byte = 0;
    while (seen < killAfter && ::read(ready[0], &byte, 1) == 1) {
      ++seen;
    }
    ::kill(pid, SIGKILL);
    int status = 0;
    ASSERT_EQ(::waitpid(pid, &status, 0), pid);
    ::close(ready[0]);
    ASSERT_EQ(seen, killAfter);
    EXPECT_TRUE(WIFSIGNALED(status));

    SettingsStore store(file);
    const auto token = OAuthToken::retrieve(store);
    ASSERT_TRUE(token) << "after " << killAfter << " stores";
    const int number = std::stoi(token->accessToken().substr(std::string("killed-").size()));
    EXPECT_GE(number, killAfter - 1);
    EXPECT_EQ(token->additionalData(), numberedToken("", number).additionalData());
    EXPECT_TRUE(numberedToken("after-", 0).store(store));  // and the file still takes writes
  }
}

class StandardLocation : public ::testing::Test {
 protected:
  void SetUp() override {
    for (const char* name : {"XDG_CONFIG_HOME", "HOME"}) {
      const char* value = std::getenv(name);
      saved_.emplace_back(name, value ? std::optional<std::string>(value) : std::nullopt);
    }
  }
  void TearDown() override {
    for (const auto& [name, value] : saved_) {
      if (value) {
        ::setenv(name.c_str(), value->c_str(), 1);
      } else {
        ::unsetenv(name.c_str());
      }
    }
  }

 private:
  std::vector<std::pair<std::string, std::optional<std::string>>> saved_;
};

TEST_F(StandardLocation, FollowsXdgConfigHomeThenHomeAndNamesTheProgram) {
  ::setenv("XDG_CONFIG_HOME", "/srv/config", 1);
  ::setenv("HOME", "/home/someone", 1);
  EXPECT_EQ(SettingsStore::defaultLocation(), "/srv/config/SettingsStoreTest/settings.sqlite3");
  ::setenv("XDG_CONFIG_HOME", "relative/config", 1);  // not absolute: ignored
  EXPECT_EQ(SettingsStore::defaultLocation(), "/home/someone/.config/SettingsStoreTest/settings.sqlite3");
  ::unsetenv("XDG_CONFIG_HOME");
  EXPECT_EQ(SettingsStore::defaultLocation(), "/home/someone/.config/SettingsStoreTest/settings.sqlite3");
  ::unsetenv("HOME");  // the user database still knows the home folder
  const auto fromPasswd = SettingsStore::defaultLocation();
  ASSERT_TRUE(fromPasswd);
  EXPECT_TRUE(fromPasswd->is_absolute());
  EXPECT_EQ(fromPasswd->filename(), "settings.sqlite3");
}

TEST_F(StandardLocation, TheStandardStoreMovesWhereTheHostSays) {
  TemporaryFolder folder;
  SettingsStore& standard = SettingsStore::standard();
  EXPECT_EQ(&standard, &SettingsStore::standard());
  SettingsStore::setStandardLocation(folder / "one.sqlite3");
  ASSERT_TRUE(standard.setData("k", {1}));
  SettingsStore::setStandardLocation(folder / "two.sqlite3");
  EXPECT_FALSE(standard.data("k"));
  ASSERT_TRUE(standard.setData("k", {2}));
  EXPECT_EQ(SettingsStore(folder / "one.sqlite3").data("k"), Data{1});
  EXPECT_EQ(SettingsStore(folder / "two.sqlite3").data("k"), Data{2});
}

}  // namespace
}  // namespace tervala
