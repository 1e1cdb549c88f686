// The settings store on real files: bytes per key, limits, owner-only modes, files planted by
// other users, and a disk that fills up. The heavy multi-process cases are in
// SettingsStoreStressTest.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include <sqlite3.h>

#include <tervala/OAuthToken.hpp>
#include <tervala/SettingsStore.hpp>

#include "support/TokenTestSupport.hpp"

namespace tervala {
namespace {

namespace fs = std::filesystem;
using test::isWrittenToken;
using test::makeToken;
using test::runInChild;
using test::TemporaryFolder;

constexpr uid_t nobody = 65534;

mode_t modeOf(const fs::path& path) {
  struct stat status {};
  return ::stat(path.c_str(), &status) == 0 ? (status.st_mode & 07777) : 0;
}

std::string contents(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

class SettingsStoreFile : public ::testing::Test {
 protected:
  TemporaryFolder folder;
  fs::path file = folder / "settings.sqlite3";
};

TEST_F(SettingsStoreFile, KeepsBytesPerKeyAcrossInstancesWithinTheLimits) {
  SettingsStore store(file);
  EXPECT_FALSE(store.data("token"));
  EXPECT_FALSE(store.lastProblem());
  const Data binary = {0x00, 0xFF, 0x00, 'x'};
  ASSERT_TRUE(store.setData("token", binary));
  ASSERT_TRUE(store.setData("empty", {}));
  ASSERT_TRUE(store.setData("other", {1}));
  ASSERT_TRUE(store.setData("other", {2, 3}));  // replaces
  EXPECT_FALSE(store.setData("other", Data(SettingsStore::maxValueSize + 1)));
  EXPECT_FALSE(store.setData(std::string(SettingsStore::maxKeySize + 1, 'k'), {1}));
  EXPECT_TRUE(store.setData(std::string(SettingsStore::maxKeySize, 'k'), Data(SettingsStore::maxValueSize)));
  EXPECT_EQ(store.data("empty"), Data{});
  SettingsStore reopened(file);
  EXPECT_EQ(reopened.data("token"), binary);
  EXPECT_EQ(reopened.data("other"), (Data{2, 3}));
}

TEST_F(SettingsStoreFile, UpdateWritesNothingWhenTheChangeDeclinesOrThrows) {
  SettingsStore store(file);
  ASSERT_TRUE(store.setData("k", Data{1}));
  EXPECT_EQ(store.update("k", [](const auto&) -> std::optional<Data> { return std::nullopt; }),
            SettingsStore::UpdateOutcome::unchanged);
  EXPECT_EQ(store.update("k", [](const auto&) -> std::optional<Data> { throw 1; }),
            SettingsStore::UpdateOutcome::failed);
  EXPECT_EQ(store.update("k",
                         [](const auto& current) {
                           return std::optional(Data{(*current)[0], 2});
                         }),
            SettingsStore::UpdateOutcome::written);
  EXPECT_EQ(store.data("k"), (Data{1, 2}));
  EXPECT_TRUE(store.setData("k", Data{3}));  // no transaction was left open
  EXPECT_EQ(SettingsStore(file).data("k"), Data{3});
}

TEST_F(SettingsStoreFile, CreatesOwnerOnlyFoldersAndFile) {
  const mode_t previous = ::umask(0);  // even a permissive umask must not open them up
  const auto nested = folder / "config" / "app" / "settings.sqlite3";
  const bool stored = SettingsStore(nested).setData("token", {1});
  ::umask(previous);
  ASSERT_TRUE(stored);
  EXPECT_EQ(modeOf(folder / "config"), 0700U);
  EXPECT_EQ(modeOf(folder / "config" / "app"), 0700U);
  EXPECT_EQ(modeOf(nested), 0600U);
}

TEST_F(SettingsStoreFile, UnusableFilesGiveFailureValues) {
  std::ofstream(file, std::ios::binary) << std::string(8192, '\x5a');
  SettingsStore corrupt(file);
  EXPECT_FALSE(corrupt.data("token"));
  // Told apart from a store that simply holds nothing (no problem then).
  ASSERT_TRUE(corrupt.lastProblem());
  EXPECT_EQ(corrupt.lastProblem()->kind, SettingsStore::Problem::Kind::failed);
  EXPECT_TRUE(
      corrupt.lastProblem()->reason.starts_with("corrupt or unreadable settings file " + file.string()));
  EXPECT_FALSE(corrupt.setData("token", {1}));
  fs::create_directory(folder / "dir.sqlite3");
  for (const auto& path : {folder / "dir.sqlite3", file / "settings.sqlite3", fs::path()}) {
    SettingsStore unusable(path);
    EXPECT_FALSE(unusable.setData("token", {1})) << path;
    EXPECT_FALSE(unusable.data("token")) << path;
  }
}

TEST_F(SettingsStoreFile, AForkedChildOpensItsOwnConnection) {
  SettingsStore store(file);
  ASSERT_TRUE(store.setData("k", {1}));  // the parent's connection is open now
  EXPECT_EQ(runInChild([&] { return store.data("k") == Data{1} && store.setData("k", {2}) ? 0 : 1; }), 0);
  EXPECT_EQ(store.data("k"), Data{2});
  EXPECT_TRUE(store.setData("k", {3}));
  EXPECT_EQ(SettingsStore(file).data("k"), Data{3});
}

// A disk that fills up before, in the middle of and after the store of a token spanning several
// pages (made with the file size limit: every write past `limit` bytes of any file fails): `store`
// tells the truth, and what reads back is the token it stored or the whole earlier one.
TEST_F(SettingsStoreFile, AFullDiskLeavesAWholeTokenAndStoreTellsTheTruth) {
  constexpr std::size_t padding = 20000;
  for (const auto& [limit, mustStore] : std::vector<std::pair<rlim_t, std::optional<bool>>>{
           {0, false}, {16384, std::nullopt}, {rlim_t{1} << 20, true}}) {
    SCOPED_TRACE(limit);
    fs::remove(file);
    {
      SettingsStore before(file);
      ASSERT_TRUE(makeToken("before", 0).store(before));
    }
    const int status = runInChild([&, limit = limit] {
      ::signal(SIGXFSZ, SIG_IGN);  // a write past the limit fails with EFBIG instead of killing
      const rlimit size{limit, limit};
      SettingsStore settings(file);
      return ::setrlimit(RLIMIT_FSIZE, &size) != 0            ? 97
             : makeToken("after", 0, padding).store(settings) ? 1
                                                              : 0;
    });
    ASSERT_TRUE(status == 0 || status == 1) << "the store ended with " << status;
    EXPECT_TRUE(!mustStore || *mustStore == (status == 1));
    SettingsStore settings(file);
    const auto token = OAuthToken::retrieve(settings);
    ASSERT_NE(token, nullptr);
    EXPECT_TRUE(status == 1 ? isWrittenToken(*token, "after", 1, padding)
                            : isWrittenToken(*token, "before", 1))
        << token->accessToken();
  }
}

// Expects a store on `file` to refuse it on writing and on reading, with a reason naming `phrase`
// and `path`.
void expectRefused(const fs::path& file, std::string_view phrase, const fs::path& path) {
  SettingsStore store(file);
  EXPECT_FALSE(store.setData("token", {1}));
  for (const bool reading : {false, true}) {
    EXPECT_FALSE(reading && store.data("token"));
    const auto problem = store.lastProblem();
    ASSERT_TRUE(problem);
    EXPECT_EQ(problem->kind, SettingsStore::Problem::Kind::refused);
    EXPECT_NE(problem->reason.find(phrase), std::string::npos) << problem->reason;
    EXPECT_NE(problem->reason.find(path.string()), std::string::npos) << problem->reason;
  }
}

TEST_F(SettingsStoreFile, NeverFollowsALinkAtTheFilesPlace) {
  const auto target = folder / "target";  // empty: SQLite would take it for a new database
  std::ofstream(target).close();
  fs::create_symlink(target, file);
  expectRefused(file, "symbolic link", file);
  EXPECT_EQ(fs::file_size(target), 0U);
}

TEST_F(SettingsStoreFile, RefusesWhatAnotherUserOwnsOrOthersCanWrite) {
  if (::geteuid() != 0) {
    GTEST_SKIP() << "needs root to act as another user";
  }
  const auto shared = folder / "shared";
  fs::create_directory(shared);
  ::chmod(folder.path().c_str(), 0711);
  ::chmod(shared.c_str(), 0777);
  ASSERT_EQ(runInChild([&] {
              if (::setgid(nobody) != 0 || ::setuid(nobody) != 0) {
                return 97;
              }
              ::mkdir((shared / "theirs").c_str(), 0755);
              ::close(::open((shared / "theirs" / "settings.sqlite3").c_str(), O_CREAT | O_WRONLY, 0644));
              ::close(::open((shared / "planted.sqlite3").c_str(), O_CREAT | O_WRONLY, 0600));
              return ::symlink("/nonexistent", (shared / "link.sqlite3").c_str());
            }),
            0);
  expectRefused(shared / "settings.sqlite3", "other users can write", shared);
  EXPECT_FALSE(fs::exists(shared / "settings.sqlite3"));
  expectRefused(shared / "link.sqlite3", "other users can write", shared);
  expectRefused(shared / "theirs" / "settings.sqlite3", "owned by another user", shared / "theirs");
  fs::rename(shared / "planted.sqlite3", file);  // their file, moved into a folder of ours
  expectRefused(file, "owned by another user", file);
  EXPECT_EQ(contents(file), "");
}

TEST_F(SettingsStoreFile, OwnEntriesOthersCanWriteAreRefusedAndThoseTheyCanReadTightened) {
  const auto inner = folder / "app";
  const auto innerFile = inner / "settings.sqlite3";
  ASSERT_TRUE(SettingsStore(innerFile).setData("token", {1}));
  ::chmod(innerFile.c_str(), 0664);
  expectRefused(innerFile, "other users can write", innerFile);
  EXPECT_EQ(modeOf(innerFile), 0664U);
  ::chmod(innerFile.c_str(), 0600);
  ::chmod(inner.c_str(), 0777);
  expectRefused(innerFile, "other users can write", inner);
  EXPECT_EQ(modeOf(inner), 0777U);

  ::chmod(inner.c_str(), 0755);
  ::chmod(innerFile.c_str(), 0644);
  SettingsStore readable(innerFile);
  EXPECT_TRUE(readable.setData("token", {2}));
  EXPECT_FALSE(readable.lastProblem());
  EXPECT_EQ(modeOf(inner), 0700U);
  EXPECT_EQ(modeOf(innerFile), 0600U);
}

TEST_F(SettingsStoreFile, RefusesADatabaseHoldingAnythingButTheStoresOwnTable) {
  for (const std::string sql :
       {"CREATE TRIGGER swallow BEFORE INSERT ON settings BEGIN SELECT RAISE(IGNORE); END",
        "CREATE TABLE other (x)"}) {
    SCOPED_TRACE(sql);
    fs::remove(file);
    ASSERT_TRUE(SettingsStore(file).setData("token", {7}));
    sqlite3* raw = nullptr;
    ASSERT_EQ(sqlite3_open(file.c_str(), &raw), SQLITE_OK);
    EXPECT_EQ(sqlite3_exec(raw, sql.c_str(), nullptr, nullptr, nullptr), SQLITE_OK);
    sqlite3_close(raw);
    const std::string before = contents(file);
    expectRefused(file, "not the store's own", file);
    EXPECT_EQ(contents(file), before);  // neither repaired nor rewritten
  }
}

// The standard location follows XDG_CONFIG_HOME (when absolute), then HOME, then the user
// database, and names the program; the standard store moves where the host says.
TEST_F(SettingsStoreFile, StandardLocationAndStore) {
  // The environment changes stay in the child, which has one thread.
  // NOLINTBEGIN(concurrency-mt-unsafe)
  EXPECT_EQ(
      runInChild([] {
        ::setenv("XDG_CONFIG_HOME", "/srv/config", 1);
        ::setenv("HOME", "/home/someone", 1);
        EXPECT_EQ(SettingsStore::defaultLocation(), "/srv/config/SettingsStoreTest/settings.sqlite3");
        ::setenv("XDG_CONFIG_HOME", "relative/config", 1);
        EXPECT_EQ(SettingsStore::defaultLocation(),
                  "/home/someone/.config/SettingsStoreTest/settings.sqlite3");
        ::unsetenv("XDG_CONFIG_HOME");
        ::unsetenv("HOME");
        const auto fromPasswd = SettingsStore::defaultLocation();
        EXPECT_TRUE(fromPasswd && fromPasswd->is_absolute() && fromPasswd->filename() == "settings.sqlite3");
        return ::testing::Test::HasFailure() ? 1 : 0;
      }),
      0);
  // NOLINTEND(concurrency-mt-unsafe)
  SettingsStore& standard = SettingsStore::standard();
  SettingsStore::setStandardLocation(folder / "one.sqlite3");
  ASSERT_TRUE(standard.setData("k", {1}));
  SettingsStore::setStandardLocation(folder / "two.sqlite3");
  EXPECT_FALSE(standard.data("k"));
  ASSERT_TRUE(standard.setData("k", {2}));
  EXPECT_EQ(SettingsStore(folder / "one.sqlite3").data("k"), Data{1});
  EXPECT_EQ(&standard, &SettingsStore::standard());
}

}  // namespace
}  // namespace tervala
