#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

#include <sqlite3.h>

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
  EXPECT_FALSE(store.lastProblem());
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
  // Told apart from a store that simply holds nothing (no problem then).
  ASSERT_TRUE(corrupt.lastProblem());
  EXPECT_EQ(corrupt.lastProblem()->kind, SettingsStore::Problem::Kind::failed);
  EXPECT_EQ(corrupt.lastProblem()->reason.rfind("corrupt or unreadable settings file " + file.string(), 0),
            0U);
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
  // Root ignores permissions, so the check runs as the unprivileged owner of the store when the
  // tests run as root.
  const bool asRoot = ::geteuid() == 0;
  std::filesystem::permissions(folder.path(), std::filesystem::perms(asRoot ? 0711 : 0500));
  std::filesystem::permissions(file, std::filesystem::perms(0400));
  const auto sub = folder / "owned";
  if (asRoot) {
    std::filesystem::create_directory(sub);
    std::filesystem::rename(file, sub / "settings.sqlite3");
    ASSERT_EQ(::chown(sub.c_str(), 65534, 65534), 0);
    ASSERT_EQ(::chown((sub / "settings.sqlite3").c_str(), 65534, 65534), 0);
    ASSERT_EQ(::chmod(sub.c_str(), 0500), 0);
  }
  const auto store = asRoot ? sub / "settings.sqlite3" : file;
  const int status = runInChild([&] {
    if (asRoot && (::setgid(65534) != 0 || ::setuid(65534) != 0)) {
      return 10;
    }
    SettingsStore settings(store);
    if (settings.data("token") != Data{4, 2}) {
      return 1;
    }
    if (settings.setData("token", {9})) {
      return 2;
    }
    return settings.data("token") == Data{4, 2} ? 0 : 3;
  });
  EXPECT_EQ(status, 0);
  std::filesystem::permissions(folder.path(), std::filesystem::perms(0700));
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

// Files and folders planted by another local user, and databases that are not the store's own.
class SettingsStoreTrust : public SettingsStoreFile {
 protected:
  static constexpr uid_t nobody = 65534;

  // Runs `plant` as another user (nobody), in a folder that user can write.
  std::filesystem::path plantAsNobody(const std::function<void(const std::filesystem::path&)>& plant) {
    auto shared = folder / "shared";
    std::filesystem::create_directory(shared);
    ::chmod(folder.path().c_str(), 0711);
    ::chmod(shared.c_str(), 0777);
    EXPECT_EQ(runInChild([&] {
                if (::setgid(nobody) != 0 || ::setuid(nobody) != 0) {
                  return 1;
                }
                plant(shared);
                return 0;
              }),
              0);
    return shared;
  }

  // Expects `store` to refuse the file with a reason naming `phrase` and `path`.
  static void expectRefused(SettingsStore& store, std::string_view phrase,
                            const std::filesystem::path& path) {
    EXPECT_FALSE(store.setData("token", {1}));
    for (const bool reading : {false, true}) {
      if (reading) {
        EXPECT_FALSE(store.data("token"));
      }
      const auto problem = store.lastProblem();
      ASSERT_TRUE(problem);
      EXPECT_EQ(problem->kind, SettingsStore::Problem::Kind::refused);
      EXPECT_NE(problem->reason.find(phrase), std::string::npos) << problem->reason;
      EXPECT_NE(problem->reason.find(path.string()), std::string::npos) << problem->reason;
    }
  }

  static std::string contents(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
  }
};

TEST_F(SettingsStoreTrust, NeverFollowsALinkAtTheFilesPlace) {
  const auto target = folder / "target";  // empty: SQLite would take it for a new database
  { std::ofstream{target}; }
  ::chmod(target.c_str(), 0600);
  std::filesystem::create_symlink(target, file);
  SettingsStore store(file);
  expectRefused(store, "symbolic link", file);
  EXPECT_EQ(std::filesystem::file_size(target), 0U);  // the link was not followed
  EXPECT_TRUE(std::filesystem::is_symlink(file));
}

TEST_F(SettingsStoreTrust, RefusesWhatAnotherUserOwnsOrOthersCanWrite) {
  if (::geteuid() != 0) {
    GTEST_SKIP() << "needs root to act as another user";
  }
  const auto shared = plantAsNobody([](const std::filesystem::path& at) {
    ::mkdir((at / "theirs").c_str(), 0755);
    ::close(::open((at / "theirs" / "settings.sqlite3").c_str(), O_CREAT | O_WRONLY, 0644));
    ::close(::open((at / "planted.sqlite3").c_str(), O_CREAT | O_WRONLY, 0600));
    ::symlink("/nonexistent", (at / "link.sqlite3").c_str());
  });
  SettingsStore worldWritable(shared / "settings.sqlite3");
  expectRefused(worldWritable, "other users can write", shared);
  EXPECT_FALSE(std::filesystem::exists(shared / "settings.sqlite3"));
  SettingsStore link(shared / "link.sqlite3");
  expectRefused(link, "other users can write", shared);
  SettingsStore theirFolder(shared / "theirs" / "settings.sqlite3");
  expectRefused(theirFolder, "owned by another user", shared / "theirs");

  // Their file, moved into a folder of ours.
  std::filesystem::rename(shared / "planted.sqlite3", file);
  SettingsStore theirFile(file);
  expectRefused(theirFile, "owned by another user", file);
  struct stat status {};
  ASSERT_EQ(::stat(file.c_str(), &status), 0);
  EXPECT_EQ(status.st_uid, nobody);
  EXPECT_EQ(status.st_size, 0);
}

TEST_F(SettingsStoreTrust, OwnEntriesOthersCanWriteAreRefusedAndThoseTheyCanReadTightened) {
  const auto inner = folder / "app";
  const auto innerFile = inner / "settings.sqlite3";
  ASSERT_TRUE(SettingsStore(innerFile).setData("token", {1}));
  const mode_t previous = ::umask(0);
  ::chmod(innerFile.c_str(), 0664);
  SettingsStore groupWritable(innerFile);
  expectRefused(groupWritable, "other users can write", innerFile);
  EXPECT_EQ(modeOf(innerFile), 0664U);
  ::chmod(innerFile.c_str(), 0600);
  ::chmod(inner.c_str(), 0777);
  SettingsStore openFolder(innerFile);
  expectRefused(openFolder, "other users can write", inner);
  EXPECT_EQ(modeOf(inner), 0777U);

  ::chmod(inner.c_str(), 0755);
  ::chmod(innerFile.c_str(), 0644);
  SettingsStore readable(innerFile);
  const bool stored = readable.setData("token", {2});
  ::umask(previous);
  EXPECT_TRUE(stored);
  EXPECT_FALSE(readable.lastProblem());
  EXPECT_EQ(modeOf(inner), 0700U);
  EXPECT_EQ(modeOf(innerFile), 0600U);
}

TEST_F(SettingsStoreTrust, RefusesADatabaseHoldingAnythingButTheStoresOwnTable) {
  const std::vector<std::string> planted = {
      "CREATE TRIGGER swallow BEFORE INSERT ON settings BEGIN SELECT RAISE(IGNORE); END",
      std::string("CREATE TABLE copies (v BLOB); CREATE TRIGGER copy AFTER UPDATE ON settings BEGIN ") +
          "INSERT INTO copies VALUES (new.value); END",
      "CREATE VIEW everything AS SELECT * FROM settings", "CREATE INDEX byValue ON settings (value)",
      "CREATE TABLE other (x)"};
  for (const auto& sql : planted) {
    SCOPED_TRACE(sql);
    std::filesystem::remove(file);
    ASSERT_TRUE(SettingsStore(file).setData("token", {7}));
    sqlite3* raw = nullptr;
    ASSERT_EQ(sqlite3_open(file.c_str(), &raw), SQLITE_OK);
    EXPECT_EQ(sqlite3_exec(raw, sql.c_str(), nullptr, nullptr, nullptr), SQLITE_OK);
    sqlite3_close(raw);
    const std::string before = contents(file);
    SettingsStore store(file);
    expectRefused(store, "not the store's own", file);
    EXPECT_EQ(contents(file), before);  // neither repaired nor rewritten
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
