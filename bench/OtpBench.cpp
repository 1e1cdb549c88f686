// The cost of one 6-digit code: Tervala's `create` next to OpenSSL's one-shot HMAC(), liboath,
// two other OpenSSL routes a generator could take (EVP_MAC_CTX_dup, EVP_MD_CTX_copy_ex), and the
// floor: inner and outer padded-key states prepared once, two compressions plus truncation.
// After the run it prints each ratio next to its target.
#define OPENSSL_SUPPRESS_DEPRECATED
#include <benchmark/benchmark.h>
#include <liboath/oath.h>
#include <openssl/core_names.h>
#include <openssl/evp.h>
#include <openssl/hmac.h>
#include <openssl/sha.h>
#include <spawn.h>
#include <sys/wait.h>

#include <fcntl.h>
#include <array>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include <tervala/Debug.hpp>
#include <tervala/OtpAuthUri.hpp>
#include <tervala/OtpGeneratorContext.hpp>
#include <tervala/OtpReplayGuard.hpp>
#include <tervala/OtpVerification.hpp>

#include "support/TokenTestSupport.hpp"

extern char** environ;

namespace {

using tervala::HmacAlgorithm;

constexpr std::uint64_t counter = 1234567890 / 30;

struct Hash {
  const char* name;
  HmacAlgorithm algorithm;
  std::string key;  // the RFC 6238 Appendix B secret of this hash
  std::string base32;
  const EVP_MD* (*md)();
  int oathFlags;
};

const std::array<Hash, 3> hashes{{
    {"SHA1", HmacAlgorithm::SHA1, "12345678901234567890", "GEZDGNBVGY3TQOJQGEZDGNBVGY3TQOJQ", EVP_sha1, 0},
    {"SHA256", HmacAlgorithm::SHA256, "12345678901234567890123456789012",
     "GEZDGNBVGY3TQOJQGEZDGNBVGY3TQOJQGEZDGNBVGY3TQOJQGEZA====", EVP_sha256, OATH_TOTP_HMAC_SHA256},
    {"SHA512", HmacAlgorithm::SHA512, "1234567890123456789012345678901234567890123456789012345678901234",
     "GEZDGNBVGY3TQOJQGEZDGNBVGY3TQOJQGEZDGNBVGY3TQOJQGEZDGNBVGY3TQOJQGEZDGNBVGY3TQOJQGEZDGNBVGY3TQOJQGEZDGNA"
     "=",
     EVP_sha512, OATH_TOTP_HMAC_SHA512},
}};

std::array<std::uint8_t, 8> counterBytes(std::uint64_t value) {
  std::array<std::uint8_t, 8> bytes{};
  for (int i = 7; i >= 0; --i, value >>= 8) {
    bytes[static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(value);
  }
  return bytes;
}

std::string truncate(const std::uint8_t* digest, std::size_t length) {
  const unsigned offset = digest[length - 1] & 0x0FU;
  std::uint32_t value = ((digest[offset] & 0x7FU) << 24) | (digest[offset + 1] << 16) |
                        (digest[offset + 2] << 8) | digest[offset + 3];
  value %= 1000000U;
  std::string code(6, '0');
  for (int i = 5; i >= 0; --i, value /= 10) {
    code[static_cast<std::size_t>(i)] = static_cast<char>('0' + value % 10);
  }
  return code;
}

void BM_TervalaCreate(benchmark::State& state, const Hash& hash) {
  tervala::setDebugSink(nullptr);
  const auto generator = tervala::OtpGeneratorContext::make(hash.base32, 6, hash.algorithm);
  if (!generator) {
    state.SkipWithError("generator refused");
    return;
  }
  for (auto _ : state) {
    benchmark::DoNotOptimize(generator->create(counter));
  }
}

void BM_OpenSslOneShotHmac(benchmark::State& state, const Hash& hash) {
  const auto message = counterBytes(counter);
  for (auto _ : state) {
    std::array<std::uint8_t, EVP_MAX_MD_SIZE> digest{};
    unsigned length = 0;
    HMAC(hash.md(), hash.key.data(), static_cast<int>(hash.key.size()), message.data(), message.size(),
         digest.data(), &length);
    benchmark::DoNotOptimize(truncate(digest.data(), length));
  }
}

void BM_Liboath(benchmark::State& state, const Hash& hash) {
  oath_init();
  std::array<char, 16> otp{};
  for (auto _ : state) {
    int rc = 0;
    if (hash.oathFlags == 0) {
      rc = oath_hotp_generate(hash.key.data(), hash.key.size(), counter, 6, false,
                              OATH_HOTP_DYNAMIC_TRUNCATION, otp.data());
    } else {
      rc = oath_totp_generate2(hash.key.data(), hash.key.size(), static_cast<time_t>(counter * 30), 30, 0, 6,
                               hash.oathFlags, otp.data());
    }
    benchmark::DoNotOptimize(rc);
    benchmark::DoNotOptimize(otp.data());
  }
}

// The floor: padded-key states prepared once, copied per code (two compressions + truncation).
template <class Context, int (*Init)(Context*), int (*Update)(Context*, const void*, size_t),
          int (*Final)(unsigned char*, Context*), std::size_t Block, std::size_t Length>
void floorCodes(benchmark::State& state, const std::string& key) {
  Context inner;
  Context outer;
  std::array<std::uint8_t, Block> pad{};
  for (std::size_t i = 0; i < Block; ++i) {
    pad[i] = static_cast<std::uint8_t>((i < key.size() ? static_cast<std::uint8_t>(key[i]) : 0) ^ 0x36);
  }
  Init(&inner);
  Update(&inner, pad.data(), Block);
  for (std::size_t i = 0; i < Block; ++i) {
    pad[i] = static_cast<std::uint8_t>((i < key.size() ? static_cast<std::uint8_t>(key[i]) : 0) ^ 0x5C);
  }
  Init(&outer);
  Update(&outer, pad.data(), Block);
  const auto message = counterBytes(counter);
  for (auto _ : state) {
    std::array<std::uint8_t, Length> digest{};
    Context work = inner;
    Update(&work, message.data(), message.size());
    Final(digest.data(), &work);
    work = outer;
    Update(&work, digest.data(), Length);
    Final(digest.data(), &work);
    benchmark::DoNotOptimize(truncate(digest.data(), Length));
  }
}

void BM_Floor(benchmark::State& state, const Hash& hash) {
  switch (hash.algorithm) {
    case HmacAlgorithm::SHA1:
      floorCodes<SHA_CTX, SHA1_Init, SHA1_Update, SHA1_Final, SHA_CBLOCK, SHA_DIGEST_LENGTH>(state, hash.key);
      break;
    case HmacAlgorithm::SHA256:
      floorCodes<SHA256_CTX, SHA256_Init, SHA256_Update, SHA256_Final, SHA256_CBLOCK, SHA256_DIGEST_LENGTH>(
          state, hash.key);
      break;
    case HmacAlgorithm::SHA512:
      floorCodes<SHA512_CTX, SHA512_Init, SHA512_Update, SHA512_Final, SHA512_CBLOCK, SHA512_DIGEST_LENGTH>(
          state, hash.key);
      break;
  }
}

struct MacDeleter {
  void operator()(EVP_MAC* mac) const { EVP_MAC_free(mac); }
  void operator()(EVP_MAC_CTX* ctx) const { EVP_MAC_CTX_free(ctx); }
  void operator()(EVP_MD_CTX* ctx) const { EVP_MD_CTX_free(ctx); }
};

// The route design.md names: an EVP_MAC "HMAC" context keyed once, duplicated per code.
void BM_EvpMacDup(benchmark::State& state, const Hash& hash) {
  const std::unique_ptr<EVP_MAC, MacDeleter> mac(EVP_MAC_fetch(nullptr, "HMAC", nullptr));
  const std::unique_ptr<EVP_MAC_CTX, MacDeleter> prepared(EVP_MAC_CTX_new(mac.get()));
  std::string digestName = EVP_MD_get0_name(hash.md());
  const std::array<OSSL_PARAM, 2> params{
      OSSL_PARAM_construct_utf8_string(OSSL_MAC_PARAM_DIGEST, digestName.data(), 0),
      OSSL_PARAM_construct_end()};
  if (EVP_MAC_init(prepared.get(), reinterpret_cast<const unsigned char*>(hash.key.data()), hash.key.size(),
                   params.data()) != 1) {
    state.SkipWithError("EVP_MAC_init failed");
    return;
  }
  const auto message = counterBytes(counter);
  for (auto _ : state) {
    const std::unique_ptr<EVP_MAC_CTX, MacDeleter> ctx(EVP_MAC_CTX_dup(prepared.get()));
    std::array<std::uint8_t, EVP_MAX_MD_SIZE> digest{};
    std::size_t length = 0;
    EVP_MAC_update(ctx.get(), message.data(), message.size());
    EVP_MAC_final(ctx.get(), digest.data(), &length, digest.size());
    benchmark::DoNotOptimize(truncate(digest.data(), length));
  }
}

// Prepared inner/outer EVP digest contexts copied into two reused contexts per code.
void BM_EvpMdCopy(benchmark::State& state, const Hash& hash) {
  const auto block = static_cast<std::size_t>(EVP_MD_get_block_size(hash.md()));
  std::vector<std::uint8_t> ipad(block, 0x36);
  std::vector<std::uint8_t> opad(block, 0x5C);
  for (std::size_t i = 0; i < hash.key.size(); ++i) {
    ipad[i] ^= static_cast<std::uint8_t>(hash.key[i]);
    opad[i] ^= static_cast<std::uint8_t>(hash.key[i]);
  }
  const std::unique_ptr<EVP_MD_CTX, MacDeleter> inner(EVP_MD_CTX_new());
  const std::unique_ptr<EVP_MD_CTX, MacDeleter> outer(EVP_MD_CTX_new());
  const std::unique_ptr<EVP_MD_CTX, MacDeleter> work(EVP_MD_CTX_new());
  EVP_DigestInit_ex(inner.get(), hash.md(), nullptr);
  EVP_DigestUpdate(inner.get(), ipad.data(), block);
  EVP_DigestInit_ex(outer.get(), hash.md(), nullptr);
  EVP_DigestUpdate(outer.get(), opad.data(), block);
  const auto message = counterBytes(counter);
  for (auto _ : state) {
    std::array<std::uint8_t, EVP_MAX_MD_SIZE> digest{};
    unsigned length = 0;
    EVP_MD_CTX_copy_ex(work.get(), inner.get());
    EVP_DigestUpdate(work.get(), message.data(), message.size());
    EVP_DigestFinal_ex(work.get(), digest.data(), &length);
    EVP_MD_CTX_copy_ex(work.get(), outer.get());
    EVP_DigestUpdate(work.get(), digest.data(), length);
    EVP_DigestFinal_ex(work.get(), digest.data(), &length);
    benchmark::DoNotOptimize(truncate(digest.data(), length));
  }
}

#ifdef TERVALA_CLI_PATH
// `tervala hotp -c 0 -n 1000000 SECRET > /dev/null`, as one whole run per iteration.
void BM_CliHotpMillion(benchmark::State& state) {
  const std::string path = TERVALA_CLI_PATH;
  if (path.empty()) {
    state.SkipWithError("the tervala tool is not built");
    return;
  }
  std::vector<std::string> args{path, "hotp", "-c", "0", "-n", "1000000", hashes[0].base32};
  std::vector<char*> argv;
  for (auto& arg : args) {
    argv.push_back(arg.data());
  }
  argv.push_back(nullptr);
  for (auto _ : state) {
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    pid_t pid = 0;
    const int rc = posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    int status = 0;
    if (rc != 0 || waitpid(pid, &status, 0) < 0 || !WIFEXITED(status) || WEXITSTATUS(status) != 0) {
      state.SkipWithError("tervala hotp failed");
      return;
    }
  }
}
BENCHMARK(BM_CliHotpMillion)->Unit(benchmark::kMillisecond)->Iterations(3)->UseRealTime();
#endif

// Around the generator: reading a Key URI, verifying with a window of one step on each side
// (three codes), and the same verification followed by the replay guard's SQLite transaction.
constexpr std::string_view keyUri =
    "otpauth://totp/Example%20Co:alice%40example.com?secret=GEZDGNBVGY3TQOJQGEZDGNBVGY3TQOJQ"
    "&issuer=Example%20Co&algorithm=SHA1&digits=6&period=30&image=https%3A%2F%2Fexample.com%2Fa.png";
constexpr double verifyTime = 1234567890.0;

void BM_UriParse(benchmark::State& state) {
  for (auto _ : state) {
    auto parsed = tervala::OtpAuthUri::parse(keyUri);
    benchmark::DoNotOptimize(parsed);
  }
}
BENCHMARK(BM_UriParse);

void BM_VerifyWindow1(benchmark::State& state) {
  const auto generator = tervala::TotpGeneratorContext::make(hashes[0].base32);
  const std::string code = *generator->create(verifyTime + 30);  // the candidate tried last
  for (auto _ : state) {
    auto match = tervala::OtpVerifier::verifyTotp(*generator, code, verifyTime, 1);
    benchmark::DoNotOptimize(match);
  }
}
BENCHMARK(BM_VerifyWindow1);

void BM_ReplayGuardedVerify(benchmark::State& state) {
  const tervala::test::TemporaryFolder folder;
  tervala::SettingsStore store(folder / "settings.sqlite3");
  tervala::OtpReplayGuard guard(store);
  const auto generator = tervala::TotpGeneratorContext::make(hashes[0].base32);
  const std::string code = *generator->create(verifyTime);
  std::uint64_t offset = 0;  // each iteration verifies a code one step later than the last accepted
  for (auto _ : state) {
    const auto match = tervala::OtpVerifier::verifyTotp(*generator, code, verifyTime, 1);
    if (!match || guard.accept("alice", hashes[0].base32, match->counter + ++offset) !=
                      tervala::OtpReplayGuard::Verdict::accepted) {
      state.SkipWithError("not accepted");
      break;
    }
  }
}
BENCHMARK(BM_ReplayGuardedVerify)->Unit(benchmark::kMicrosecond)->UseRealTime();

// Remembers each benchmark's time per iteration so the ratios can be printed after the run.
class RecordingReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    for (const auto& run : runs) {
      if (!run.error_occurred) {
        // One thread per benchmark: CPU time is the cost, and stays fair on a shared machine.
        const double toNanoseconds = 1e9 / benchmark::GetTimeUnitMultiplier(run.time_unit);
        cpuNanoseconds[run.benchmark_name()] = run.GetAdjustedCPUTime() * toNanoseconds;
        realNanoseconds[run.benchmark_name()] = run.GetAdjustedRealTime() * toNanoseconds;
      }
    }
    ConsoleReporter::ReportRuns(runs);
  }
  std::map<std::string, double> cpuNanoseconds;
  std::map<std::string, double> realNanoseconds;
};

bool codesAgree() {
  for (const auto& hash : hashes) {
    const auto generator = tervala::OtpGeneratorContext::make(hash.base32, 6, hash.algorithm);
    const auto message = counterBytes(counter);
    std::array<std::uint8_t, EVP_MAX_MD_SIZE> digest{};
    unsigned length = 0;
    HMAC(hash.md(), hash.key.data(), static_cast<int>(hash.key.size()), message.data(), message.size(),
         digest.data(), &length);
    std::array<char, 16> otp{};
    oath_init();
    if (hash.oathFlags == 0) {
      oath_hotp_generate(hash.key.data(), hash.key.size(), counter, 6, false, OATH_HOTP_DYNAMIC_TRUNCATION,
                         otp.data());
    } else {
      oath_totp_generate2(hash.key.data(), hash.key.size(), static_cast<time_t>(counter * 30), 30, 0, 6,
                          hash.oathFlags, otp.data());
    }
    const std::string reference = truncate(digest.data(), length);
    if (!generator || generator->create(counter) != reference || reference != otp.data()) {
      std::fprintf(stderr, "codes disagree for %s\n", hash.name);
      return false;
    }
  }
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  tervala::setDebugSink(nullptr);
  if (!codesAgree()) {
    return 1;
  }
  for (const auto& hash : hashes) {
    const std::string suffix = std::string("/") + hash.name;
    benchmark::RegisterBenchmark(("Floor" + suffix).c_str(), BM_Floor, hash);
    benchmark::RegisterBenchmark(("TervalaCreate" + suffix).c_str(), BM_TervalaCreate, hash);
    benchmark::RegisterBenchmark(("EvpMdCopy" + suffix).c_str(), BM_EvpMdCopy, hash);
    benchmark::RegisterBenchmark(("EvpMacDup" + suffix).c_str(), BM_EvpMacDup, hash);
    benchmark::RegisterBenchmark(("OpenSslOneShotHmac" + suffix).c_str(), BM_OpenSslOneShotHmac, hash);
    benchmark::RegisterBenchmark(("Liboath" + suffix).c_str(), BM_Liboath, hash);
  }
  benchmark::Initialize(&argc, argv);
  RecordingReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  benchmark::Shutdown();

  const auto& ns = reporter.cpuNanoseconds;
  const auto time = [&](const std::string& name) {
    const auto found = ns.find(name);
    return found == ns.end() ? 0.0 : found->second;
  };
  std::printf(
      "\nRatios of CPU time per code (same run; targets: create <= 1.5x floor, liboath/create >= 2.5 for "
      "SHA1)\n");
  for (const auto& hash : hashes) {
    const std::string suffix = std::string("/") + hash.name;
    const double floor = time("Floor" + suffix);
    const double create = time("TervalaCreate" + suffix);
    if (floor <= 0 || create <= 0) {
      continue;
    }
    std::printf(
        "%-6s create/floor %.2fx%s  one-shot HMAC/create %.1fx  liboath/create %.1fx%s  "
        "EvpMacDup/floor %.1fx  EvpMdCopy/floor %.1fx\n",
        hash.name, create / floor, create / floor <= 1.5 ? " (met)" : " (MISSED)",
        time("OpenSslOneShotHmac" + suffix) / create, time("Liboath" + suffix) / create,
        hash.algorithm != HmacAlgorithm::SHA1      ? ""
        : time("Liboath" + suffix) / create >= 2.5 ? " (met)"
                                                   : " (MISSED)",
        time("EvpMacDup" + suffix) / floor, time("EvpMdCopy" + suffix) / floor);
  }
  const double parse = time("BM_UriParse");
  const double verify = time("BM_VerifyWindow1");
  const double createSha1 = time("TervalaCreate/SHA1");
  const auto guardedRun = reporter.realNanoseconds.find("BM_ReplayGuardedVerify/real_time");
  const double guarded = guardedRun == reporter.realNanoseconds.end() ? 0.0 : guardedRun->second;
  if (parse > 0 && verify > 0 && createSha1 > 0) {
    std::printf("URI parse %.2f us%s  verify window 1 / create %.2fx%s  replay-guarded verify %.1f us%s\n",
                parse / 1e3, parse < 2e3 ? " (met: < 2 us)" : " (MISSED)", verify / createSha1,
                verify / createSha1 <= 3.5 ? " (met: <= 3.5x)" : " (MISSED)", guarded / 1e3,
                guarded > 0 && guarded < 100e3 ? " (met: < 100 us)" : " (MISSED)");
  }
  const auto cliRun = reporter.realNanoseconds.find("BM_CliHotpMillion/iterations:3/real_time");
  const double cli = cliRun == reporter.realNanoseconds.end() ? 0.0 : cliRun->second;
  if (cli > 0) {
    std::printf("tervala hotp -c 0 -n 1000000: %.0f ms per run%s\n", cli / 1e6,
                cli < 1e9 ? " (met: < 1 s)" : " (MISSED)");
  }
  return 0;
}
