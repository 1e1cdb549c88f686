// The settings store on real files: bytes per key, limits, owner-only modes, files planted by
// other users, a disk that fills up, and the standard location. The heavy multi-process cases are
// in SettingsStoreStressTest.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <pwd.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <functional>
#include <iterator>
#include <string>
#include <vector>

#include <sqlite3.h>

#include <tervala/OAuthToken.hpp>
#include <tervala/SettingsStore.hpp>

#include "support/FolderSwapRace.hpp"
#include "support/TokenTestSupport.hpp"

namespace tervala {
namespace {

namespace fs = std::filesystem;
using test::isWrittenToken;
using test::makeToken;
using test::runInChild;
using test::TemporaryFolder;
using Kind = SettingsStore::Problem::Kind;

mode_t modeOf(const fs::path& path) {
  struct stat status {};
  return ::stat(path.c_str(), &status) == 0 ? (status.st_mode & 07777) : 0;
}

std::string contents(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return fs::is_regular_file(path) ? std::string(std::istreambuf_iterator<char>(in), {}) : "";
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
  ASSERT_TRUE(store.setData("token", binary) && store.setData("empty", {}) && store.setData("other", {1}));
  ASSERT_TRUE(store.setData("other", {2, 3}));  // replaces
  EXPECT_FALSE(store.setData("other", Data(SettingsStore::maxValueSize + 1)));
  EXPECT_FALSE(store.setData(std::string(SettingsStore::maxKeySize + 1, 'k'), {1}));
  EXPECT_TRUE(store.setData(std::string(SettingsStore::maxKeySize, 'k'), Data(SettingsStore::maxValueSize)));
  EXPECT_EQ(store.data("empty"), Data{});
  SettingsStore reopened(file);
  EXPECT_EQ(reopened.data("token"), binary);
  EXPECT_EQ(reopened.data("other"), (Data{2, 3}));
  // A prefix is bytes, not a LIKE or GLOB pattern.
  ASSERT_TRUE(reopened.setData("p%x", {}) && reopened.setData("p_x", {}) && reopened.setData("pAx", {}));
  EXPECT_EQ(reopened.keys("ot"), std::vector<std::string>{"other"});
  EXPECT_EQ(reopened.keys("p_"), std::vector<std::string>{"p_x"});
  EXPECT_EQ(reopened.keys("p%"), std::vector<std::string>{"p%x"});
  EXPECT_EQ(reopened.keys("").size(), 7U);
  EXPECT_TRUE(reopened.keys("none").empty());
}

TEST_F(SettingsStoreFile, UpdateWritesNothingWhenTheChangeDeclinesOrThrows) {
  SettingsStore store(file);
  ASSERT_TRUE(store.setData("k", Data{1}));
  EXPECT_EQ(store.update("k", [](const auto&) -> std::optional<Data> { return std::nullopt; }),
            SettingsStore::UpdateOutcome::unchanged);
  EXPECT_EQ(store.update("k", [](const auto&) -> std::optional<Data> { throw 1; }),
            SettingsStore::UpdateOutcome::failed);
  const auto append = [](const auto& current) { return std::optional(Data{(*current)[0], 2}); };
  EXPECT_EQ(store.update("k", append), SettingsStore::UpdateOutcome::written);
  EXPECT_EQ(store.data("k"), (Data{1, 2}));
  EXPECT_TRUE(store.setData("k", Data{3}));  // no transaction was left open
  EXPECT_EQ(SettingsStore(file).data("k"), Data{3});
}

// Created owner-only even under a permissive umask; entries others can merely read are tightened.
TEST_F(SettingsStoreFile, CreatesOwnerOnlyFoldersAndFileAndTightensReadableOnes) {
  const mode_t previous = ::umask(0);
  const auto nested = folder / "config" / "app" / "settings.sqlite3";
  const bool stored = SettingsStore(nested).setData("token", {1});
  ::umask(previous);
  ASSERT_TRUE(stored);
  EXPECT_EQ(modeOf(folder / "config"), 0700U);
  EXPECT_EQ(modeOf(folder / "config" / "app"), 0700U);
  EXPECT_EQ(modeOf(nested), 0600U);
  ::chmod((folder / "config" / "app").c_str(), 0755);
  ::chmod(nested.c_str(), 0644);
  SettingsStore readable(nested);
  EXPECT_TRUE(readable.setData("token", {2}));
  EXPECT_FALSE(readable.lastProblem());
  EXPECT_EQ(modeOf(folder / "config" / "app"), 0700U);
  EXPECT_EQ(modeOf(nested), 0600U);
}

// Folders above may be sticky ones others write to (as /tmp is) and links of ours (a linked
// ~/.config): the walk follows a link of the user's and checks where it leads.
TEST_F(SettingsStoreFile, AncestorsMayBeStickyOrTheUsersLinks) {
  fs::create_directories(folder / "shared" / "real");
  ::chmod((folder / "shared").c_str(), 01777);
  fs::create_directory_symlink("shared/real", folder / "linked");
  ASSERT_TRUE(SettingsStore(folder / "linked" / "app" / "settings.sqlite3").setData("k", {1}));
  EXPECT_EQ(SettingsStore(folder / "shared" / "real" / "app" / "settings.sqlite3").data("k"), Data{1});
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

// A file the store must not use: what `plant` leaves (as another user, in a folder of ours, for a
// stranger's row) at the store's `file` or the `named` entry (the file when not given), and the
// problem's kind and why.
using Plant = std::function<void(const fs::path& file, const fs::path& named)>;
struct Unusable {
  const char* name;
  Kind kind;
  std::string why;
  Plant plant;
  std::string file = "settings.sqlite3";
  std::string named{};
  bool stranger = false;
};

class SettingsStoreUnusable : public ::testing::TestWithParam<Unusable> {};

// Refused or failed on writing and on reading alike, with a reason naming the path; the file and
// the named entry are left as they were: neither created, repaired, rewritten nor opened up.
TEST_P(SettingsStoreUnusable, GivesAFailureValueAndLeavesTheFileAlone) {
  const Unusable& row = GetParam();
  const TemporaryFolder folder;
  if (row.stranger && ::geteuid() != 0) {
    GTEST_SKIP() << "needs root to act as another user";
  }
  const fs::path file = row.file.empty() ? fs::path() : folder / row.file;
  const fs::path named = row.named.empty() ? file : folder / row.named;
  ::chmod(folder.path().c_str(), row.stranger ? 01777 : 0700);  // sticky: their store may be made inside
  ASSERT_EQ(runInChild([&] {
              constexpr uid_t nobody = 65534;
              ::umask(077);
              if (row.stranger && (::setgid(nobody) != 0 || ::setuid(nobody) != 0)) {
                return 97;
              }
              row.plant(file, named);
              return 0;
            }),
            0);
  ::chmod(folder.path().c_str(), 0700);
  const std::string bytes = contents(file);
  const std::pair modes{modeOf(file), modeOf(named)};
  SettingsStore store(file);
  EXPECT_FALSE(store.setData("token", {1}));
  for (const bool reading : {false, true}) {
    EXPECT_FALSE(reading && store.data("token"));
    const auto problem = store.lastProblem();
    ASSERT_TRUE(problem);
    EXPECT_EQ(problem->kind, row.kind);
    EXPECT_NE(problem->reason.find(named.string() + ": "), std::string::npos) << problem->reason;
    EXPECT_NE(problem->reason.find(row.why), std::string::npos) << problem->reason;
  }
  EXPECT_EQ(contents(file), bytes);
  EXPECT_EQ(std::pair(modeOf(file), modeOf(named)), modes);
}

// The store's own file, made by the store, then `named` given `mode` and the database `sql`.
Plant own(mode_t mode, const std::string& sql = "") {
  return [=](const fs::path& file, const fs::path& named) {
    sqlite3* raw = nullptr;
    if (SettingsStore(file).setData("token", {7}) && sqlite3_open(file.c_str(), &raw) == 0) {
      sqlite3_exec(raw, sql.c_str(), nullptr, nullptr, nullptr);
    }
    sqlite3_close(raw);
    ::chmod(named.c_str(), mode);
  };
}

void touch(const fs::path& path) {
  std::ofstream(path).close();
}

// A link to an empty file would be taken by SQLite for a new database; a stranger's link above leads
// to a folder of ours, but they could re-point it.
INSTANTIATE_TEST_SUITE_P(
    Files, SettingsStoreUnusable,
    ::testing::ValuesIn(std::vector<Unusable>{
        {"Corrupt", Kind::failed, "not a database",
         [](auto& file, auto&) { std::ofstream(file, std::ios::binary) << std::string(8192, 'Z'); }},
        {"Folder", Kind::refused, "not a regular file",
         [](auto& file, auto&) { fs::create_directory(file); }},
        {"BelowAFile", Kind::failed, "is not a folder", [](auto& file, auto&) { touch(file.parent_path()); },
         "file/settings.sqlite3"},
        {"EmptyPath", Kind::failed, "no usable path", [](auto&, auto&) {}, ""},
        {"LinkToAnEmptyFile", Kind::refused, "symbolic link",
         [](auto& file, auto&) {
           touch(file.string() + ".target");
           fs::create_symlink(file.string() + ".target", file);
         }},
        {"FileOthersCanWrite", Kind::refused, "other users can write", own(0664)},
        {"FolderOthersCanWrite", Kind::refused, "other users can write", own(0777), "app/settings.sqlite3",
         "app"},
        {"ForeignTrigger", Kind::refused, "not the store's own",
         own(0600, "CREATE TRIGGER swallow BEFORE INSERT ON settings BEGIN SELECT RAISE(IGNORE); END")},
        {"ForeignTable", Kind::refused, "not the store's own", own(0600, "CREATE TABLE other (x)")},
        {"AncestorOthersCanWrite", Kind::refused, "other users can write", own(0777),
         "up/app/settings.sqlite3", "up"},
        {"StrangersAncestor", Kind::refused, "owned by another user",
         [](auto&, auto& named) { fs::create_directory(named); }, "theirs/app/settings.sqlite3", "theirs",
         true},
        {"StrangersLinkAbove", Kind::refused, "symbolic link owned by another user",
         [](auto&, auto& named) { fs::create_directory_symlink(".", named); }, "link/settings.sqlite3",
         "link", true},
        {"StrangersFolder", Kind::refused, "owned by another user", own(0755), "theirs/settings.sqlite3",
         "theirs", true},
        {"StrangersFile", Kind::refused, "owned by another user", [](auto& file, auto&) { touch(file); },
         "settings.sqlite3", "", true}}),
    [](const auto& info) { return std::string(info.param.name); });

// Someone who can rename a folder above the store swaps the store's folder with one of their own
// again and again while the user stores tokens: each store lands in the user's own file or is
// refused, never in theirs. (3000 stores in the stress suite.)
TEST(SettingsStoreFolders, ASwappedFolderNeverReceivesAStore) {
  const TemporaryFolder top;
  const auto race = test::raceFolderSwap(top.path(), 500);
  EXPECT_EQ(race.landed, 0);
  EXPECT_GT(race.swaps, 0);
  EXPECT_GT(race.written, 0);
}

// The standard location follows XDG_CONFIG_HOME (when absolute), then HOME (when absolute), then
// the user database, and names the program; the standard store opens there until the host moves it.
TEST_F(SettingsStoreFile, StandardLocationAndStore) {
  const passwd* user = ::getpwuid(::getuid());  // NOLINT(concurrency-mt-unsafe): one thread here
  ASSERT_NE(user, nullptr);
  const fs::path fromDatabase = fs::path(user->pw_dir) / ".config/SettingsStoreTest/settings.sqlite3";
  // The variables are put back as they were; this suite runs no other thread.
  // NOLINTBEGIN(concurrency-mt-unsafe)
  std::vector<std::pair<const char*, std::optional<std::string>>> saved;
  for (const char* name : {"XDG_CONFIG_HOME", "HOME"}) {
    const char* value = std::getenv(name);
    saved.emplace_back(name, value != nullptr ? std::optional<std::string>(value) : std::nullopt);
  }
  const auto set = [](const char* name, const char* value) {
    value != nullptr ? ::setenv(name, value, 1) : ::unsetenv(name);
  };
  for (const auto& [config, home, expected] : std::vector<std::tuple<const char*, const char*, fs::path>>{
           {"/srv/config", "/home/someone", "/srv/config/SettingsStoreTest/settings.sqlite3"},
           {"relative/config", "/home/someone", "/home/someone/.config/SettingsStoreTest/settings.sqlite3"},
           {nullptr, "relative/home", fromDatabase},
           {nullptr, nullptr, fromDatabase}}) {
    set("XDG_CONFIG_HOME", config);
    set("HOME", home);
    EXPECT_EQ(SettingsStore::defaultLocation(), expected) << (home != nullptr ? home : "no home");
  }
  SettingsStore& standard = SettingsStore::standard();  // first made here, without a home
  for (const auto& [name, value] : saved) {
    set(name, value ? value->c_str() : nullptr);
  }
  // NOLINTEND(concurrency-mt-unsafe)
  EXPECT_EQ(standard.location(), fromDatabase);
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
