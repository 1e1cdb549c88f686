// The keyring on a real Secret Service: the session bus and gnome-keyring-daemon that
// tests/tools/keyring-session.sh starts for this program (ctest runs it so). The library's store,
// then the tool: in-process where the keyring is there, as a process without a bus where it is not.
#include <gtest/gtest.h>

#include <signal.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include <nlohmann/json.hpp>
#include <tervala/OAuthToken.hpp>
#include <tervala/ProofKey.hpp>
#include <tervala/SecretServiceStore.hpp>
#include <tervala/SettingsStore.hpp>

#include "support/InProcessTool.hpp"
#include "support/TokenEndpoint.hpp"
#include "support/TokenTestSupport.hpp"
#include "support/ToolProcess.hpp"

namespace tervala {
namespace {

using test::TemporaryFolder;
using test::TokenEndpoint;
using Args = std::vector<std::string>;

// Why the keyring cases cannot run here, or absent when they can. Outside the wrapper they never
// run: they would write to the user's own keyring.
std::optional<std::string> keyringMissing() {
  if (const char* reason = std::getenv("TERVALA_TEST_NO_KEYRING")) {  // NOLINT(concurrency-mt-unsafe)
    return std::string("no test keyring: ") + reason;
  }
  // NOLINTNEXTLINE(concurrency-mt-unsafe): nothing sets the environment
  if (std::getenv("TERVALA_TEST_KEYRING_SESSION") == nullptr || !SecretServiceStore::isBuiltIn()) {
    return "no test keyring: not run through tests/tools/keyring-session.sh, or built without libsecret";
  }
  return std::nullopt;
}

#define SKIP_WITHOUT_KEYRING()             \
  if (const auto why = keyringMissing()) { \
    GTEST_SKIP() << *why;                  \
  }

OAuthToken sampleToken(const std::string& access, std::chrono::seconds left = std::chrono::hours(1)) {
  return {access, "Bearer", "refresh-1", std::chrono::system_clock::now() + left, "a,b"};
}

TEST(SecretServiceStore, StoresReadsReplacesAndRemovesBytesAndTokens) {
  SKIP_WITHOUT_KEYRING();
  SecretServiceStore keyring("tervala-test");
  ASSERT_EQ(keyring.unreachableReason(), std::nullopt);
  const Data bytes{0x00, 0xFF, 'a', 0x00, '\n'};  // not text: NULs and a byte beyond UTF-8
  ASSERT_TRUE(keyring.setData("bytes", Data{'2'})) << keyring.lastProblem().value_or("");
  ASSERT_TRUE(keyring.setData("bytes", bytes));
  EXPECT_EQ(keyring.data("bytes"), bytes);
  // Another application's item of the same key is another item.
  SecretServiceStore other("tervala-other");
  EXPECT_EQ(other.data("bytes"), std::nullopt);
  EXPECT_EQ(other.lastProblem(), std::nullopt);

  ASSERT_TRUE(sampleToken("in-keyring").store(keyring));
  const auto token = OAuthToken::retrieve(keyring);
  ASSERT_NE(token, nullptr);
  EXPECT_EQ(token->scope(), (OAuthToken::Scope{"a", "b"}));
  for (const char* key : {"bytes", "token", "token"}) {  // nothing left to remove is no failure
    EXPECT_TRUE(keyring.remove(key));
    EXPECT_EQ(keyring.data(key), std::nullopt);
    EXPECT_EQ(keyring.lastProblem(), std::nullopt);
  }
  EXPECT_FALSE(keyring.setData(std::string("a\0b", 3), bytes));
  EXPECT_NE(keyring.lastProblem(), std::nullopt);
}

// A child forked after its parent used the keyring holds a copy of the parent's bus connection
// without the thread that serves it: each call says so at once rather than wait out its timeout,
// also when a call of the parent's held the store's lock at the fork (the daemon is stopped).
TEST(SecretServiceStore, AForkedChildIsToldAtOnceThatTheBusStaysWithTheParent) {
  SKIP_WITHOUT_KEYRING();
  const char* const daemon = std::getenv("TERVALA_TEST_KEYRING_PID");  // NOLINT(concurrency-mt-unsafe)
  ASSERT_NE(daemon, nullptr);
  SecretServiceStore keyring("tervala-test", std::chrono::milliseconds(1500));
  ASSERT_EQ(keyring.unreachableReason(), std::nullopt);
  const auto toldAtOnce = [&] {
    const auto started = std::chrono::steady_clock::now();
    const bool read = keyring.data("k").has_value();
    const bool told = keyring.lastProblem().value_or("").find("forked child") != std::string::npos;
    return !read && told && std::chrono::steady_clock::now() - started < std::chrono::milliseconds(500) ? 0
                                                                                                        : 1;
  };
  EXPECT_EQ(test::runInChild(toldAtOnce, std::chrono::seconds(10)), 0);
  ASSERT_EQ(::kill(std::stoi(daemon), SIGSTOP), 0);
  {
    const std::jthread calling([&] { (void)keyring.data("k"); });
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_EQ(test::runInChild(toldAtOnce, std::chrono::seconds(10)), 0);
    ::kill(std::stoi(daemon), SIGCONT);
  }
  EXPECT_EQ(keyring.unreachableReason(), std::nullopt);  // the parent's own calls go on
}

// The tool in-process on the test keyring, or as a process whose session bus is a socket that
// does not exist.
class KeyringCli : public ::testing::Test {
 protected:
  [[nodiscard]] std::string settings() const { return (folder / "settings.sqlite3").string(); }
  [[nodiscard]] Args grant(const Args& more) const {
    Args args{"token", "code", "--url", endpoint.url(), "--client-id", "cli", "--code", "c"};
    args.insert(args.end(), more.begin(), more.end());
    return args;
  }
  [[nodiscard]] test::ToolRun inFile(Args args) const {
    args.insert(args.begin(), {"--settings", settings()});
    return test::runTool(args);
  }
  [[nodiscard]] test::ToolRun withoutBus(const Args& args) const {
    return test::ToolProcess(args, {"DBUS_SESSION_BUS_ADDRESS=unix:path=" + (folder / "no-bus").string(),
                                    "XDG_CONFIG_HOME=" + (folder / "config").string()})
        .finish();
  }

  TemporaryFolder folder;
  TokenEndpoint endpoint;
  const std::string standard = (folder / "config" / "tervala" / "settings.sqlite3").string();
  SecretServiceStore keyring{"tervala"};
  const test::Reply renewed = test::Reply::answer(
      200,
      R"({"access_token":"renewed","token_type":"Bearer","expires_in":3600,"refresh_token":"r2","scope":"s"})");
};

// Without a choice the keyring comes first and a token of an earlier version in the standard
// file still counts; --keyring keeps the token there, refreshed too, and --settings alone chooses
// the file.
TEST_F(KeyringCli, TheKeyringComesFirstHoldsProfileTokensAndAFileTokenStillCounts) {
  SKIP_WITHOUT_KEYRING();  // a keyring of this run alone: nothing stored yet
  SettingsStore::setStandardLocation(settings());
  SettingsStore file(settings());
  ASSERT_TRUE(sampleToken("from-file").store(file));
  EXPECT_EQ(test::runTool({"token", "show"}).err, "Stored in: the settings file '" + settings() + "'\n");

  EXPECT_EQ(test::runTool(grant({"--store"})).err, "");
  const auto show = inFile({"token", "show", "--keyring"});
  EXPECT_TRUE(show.out.starts_with("Authorization: Bearer test-access\n")) << show.out;
  EXPECT_EQ(show.err, "Stored in: the keyring (Secret Service)\n");
  EXPECT_EQ(test::runTool({"token", "show"}).err, show.err);

  endpoint.setReply(renewed);
  const auto refreshed =
      inFile({"token", "refresh", "--url", endpoint.url(), "--client-id", "cli", "--stored", "--keyring"});
  ASSERT_EQ(refreshed.status, 0) << refreshed.err;
  EXPECT_EQ(endpoint.requests().back().field("refresh_token"), "test-refresh");
  EXPECT_TRUE(inFile({"token", "show", "--keyring"}).out.starts_with("Authorization: Bearer renewed\n"));
  EXPECT_TRUE(inFile({"token", "show"}).out.starts_with("Authorization: Bearer from-file\n"));

  // A profile's token lives in the keyring, its account in the file; logout removes the token.
  ASSERT_EQ(inFile(grant({"--profile", "work", "--keyring"})).status, 0);
  EXPECT_TRUE(keyring.data("profile.work.token").has_value());
  EXPECT_EQ(file.data("profile.work.token"), std::nullopt);
  EXPECT_TRUE(file.data("profile.work.account").has_value());

  EXPECT_EQ(inFile({"token", "show", "--profile", "work", "--keyring"}).err,
            "Stored in: the keyring (Secret Service)\n");
  EXPECT_EQ(inFile({"token", "logout", "--profile", "work", "--keyring"}).status, 0);
  EXPECT_EQ(keyring.data("profile.work.token"), std::nullopt);
  EXPECT_EQ(inFile({"token", "show", "--profile", "work", "--keyring"}).err,
            "tervala: no stored token for profile work in the keyring\n");
}

// `token get` finds the token where `token show` does, the keyring first, and refreshes it there,
// coordinating through a lock file of its own in the runtime folder.
TEST_F(KeyringCli, GetFindsTheKeyringTokenAndRefreshesItThere) {
  SKIP_WITHOUT_KEYRING();
  SettingsStore::setStandardLocation(settings());
  ASSERT_TRUE(keyring.remove("token"));
  ASSERT_EQ(test::runTool(grant({"--store"})).status, 0);
  const auto got = test::runTool({"token", "get"});
  EXPECT_EQ(got.out, "test-access\n") << got.err;

  ASSERT_TRUE(sampleToken("old", std::chrono::seconds(10)).store(keyring));
  endpoint.setReply(renewed);
  const auto refreshed = test::runTool({"token", "get", "--url", endpoint.url(), "--client-id", "cli"});
  EXPECT_EQ(refreshed.out, "renewed\n") << refreshed.err;
  EXPECT_EQ(endpoint.requests().back().field("refresh_token"), "refresh-1");
  EXPECT_EQ(OAuthToken::retrieve(keyring)->refreshToken(), "r2");
  SettingsStore file(settings());
  EXPECT_EQ(OAuthToken::retrieve(file), nullptr);
  const char* runtime = std::getenv("XDG_RUNTIME_DIR");  // NOLINT(concurrency-mt-unsafe)
  ASSERT_NE(runtime, nullptr);
  std::size_t locks = 0;
  for (const auto& entry : std::filesystem::directory_iterator(std::filesystem::path(runtime) / "tervala")) {
    locks += entry.path().filename().string().starts_with("refresh-") ? 1U : 0U;
  }
  EXPECT_EQ(locks, 1U);

  // A bound token keeps its key in the keyring as in the file.
  OAuthToken bound("b", "DPoP", "r", std::chrono::system_clock::now() + std::chrono::hours(1), "s");
  const auto key = *ProofKey::generate();
  bound.setProofKey(key);
  ASSERT_TRUE(bound.store(keyring));
  EXPECT_EQ(OAuthToken::retrieve(keyring)->proofKey()->thumbprint(), key.thumbprint());
}

TEST_F(KeyringCli, WithoutABusADemandedKeyringFailsBeforeTheGrantUnlessTheFileIsAllowed) {
  const auto refused = withoutBus(grant({"--store", "--keyring"}));
  EXPECT_EQ(refused.status, 1);
  EXPECT_TRUE(refused.err.starts_with("tervala: the keyring is not reachable: ")) << refused.err;
  EXPECT_TRUE(refused.err.ends_with(" (--allow-file would use the settings file)\n")) << refused.err;
  EXPECT_TRUE(endpoint.requests().empty());  // the code was not spent
  EXPECT_FALSE(std::filesystem::exists(standard));

  const std::string fileSaid = "); the token is stored in the settings file '" + standard + "'\n";
  const auto allowed = withoutBus(grant({"--store", "--keyring", "--allow-file"}));
  EXPECT_EQ(allowed.status, 0) << allowed.err;
  EXPECT_TRUE(allowed.err.starts_with("tervala: no keyring (") && allowed.err.ends_with(fileSaid))
      << allowed.err;
  // Without a choice the file is used and said so.
  const auto chosen = withoutBus(grant({"--store"}));
  EXPECT_EQ(chosen.status, 0) << chosen.err;
  EXPECT_TRUE(chosen.err.ends_with(fileSaid)) << chosen.err;
  EXPECT_EQ(withoutBus({"token", "show"}).err, "Stored in: the settings file '" + standard + "'\n");
  const auto json = nlohmann::json::parse(withoutBus({"token", "show", "--json"}).out);
  EXPECT_EQ(json["stored_in"], "file");
  EXPECT_EQ(json["settings_file"], standard);
}

// The account book: secrets in keyring items, the index and the counters in the file; without a
// bus --keyring fails unless the file is allowed, and says where the secret went.
TEST_F(KeyringCli, TheBookKeepsSecretsInTheKeyringAndFallsBackOnlyWhenAllowed) {
  const std::string uri = "otpauth://hotp/Bank:alice?secret=GEZDGNBVGY3TQOJQ&issuer=Bank&counter=3";
  const auto refused = withoutBus({"add", uri, "--keyring"});
  EXPECT_EQ(refused.status, 1);
  EXPECT_TRUE(refused.err.ends_with(" (--allow-file would use the settings file)\n")) << refused.err;
  EXPECT_FALSE(std::filesystem::exists(standard));
  const auto allowed = withoutBus({"add", uri, "--keyring", "--allow-file"});
  EXPECT_EQ(allowed.out, "added 'Bank:alice' to the settings file\n");
  EXPECT_TRUE(allowed.err.ends_with("); the secret is kept in the settings file '" + standard + "'\n"))
      << allowed.err;

  SKIP_WITHOUT_KEYRING();
  EXPECT_EQ(inFile({"add", uri, "--keyring"}).out, "added 'Bank:alice' to the keyring\n");
  EXPECT_EQ(inFile({"list"}).out, "Bank:alice  (hotp)\n");
  EXPECT_EQ(inFile({"code", "bank"}).out, "626604\n");
  const auto code = inFile({"code", "bank"});
  EXPECT_EQ(code.out, "208158\n") << code.err;
  std::ifstream file(settings(), std::ios::binary);
  const std::string bytes{std::istreambuf_iterator<char>(file), {}};
  EXPECT_EQ(bytes.find("GEZDGNBVGY3TQOJQ"), std::string::npos);  // the secret is not in the file
  EXPECT_EQ(inFile({"rm", "bank", "--yes"}).status, 0);
  EXPECT_EQ(inFile({"list"}).out, "");
}

// Last: the daemon is stopped for a moment. Every call still ends, at the store's timeout, and
// says so.
TEST(SilentKeyring, EachCallEndsAtTheTimeoutWithThatReason) {
  SKIP_WITHOUT_KEYRING();
  const char* const daemon = std::getenv("TERVALA_TEST_KEYRING_PID");  // NOLINT(concurrency-mt-unsafe)
  ASSERT_NE(daemon, nullptr);
  const pid_t pid = std::stoi(daemon);
  SecretServiceStore keyring("tervala-test", std::chrono::milliseconds(300));
  ASSERT_EQ(keyring.unreachableReason(), std::nullopt);
  ASSERT_EQ(::kill(pid, SIGSTOP), 0);
  const struct Resume {
    pid_t pid;
    ~Resume() { ::kill(pid, SIGCONT); }
  } resume{pid};
  const std::string silent = "no answer from the keyring within 300 ms";
  EXPECT_NE(keyring.unreachableReason().value_or("").find(silent), std::string::npos);
  EXPECT_FALSE(keyring.setData("k", Data{1}));
  EXPECT_NE(keyring.lastProblem().value_or("").find(silent), std::string::npos)
      << keyring.lastProblem().value_or("");
  EXPECT_EQ(keyring.data("k"), std::nullopt);
  EXPECT_NE(keyring.lastProblem().value_or("").find(silent), std::string::npos);
}

}  // namespace
}  // namespace tervala
