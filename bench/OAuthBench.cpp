// The OAuth client's cost on loopback: a password grant through the library (asynchronous and
// blocking form) next to a bare libcurl request with the same body to the same endpoint, and 1000
// grants in flight at once.
#include <benchmark/benchmark.h>
#include <curl/curl.h>
#include <sys/resource.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <future>
#include <memory>
#include <mutex>

#include <tervala/Debug.hpp>
#include <tervala/OAuthContext.hpp>

#include "support/TokenEndpoint.hpp"

namespace {

using Clock = std::chrono::steady_clock;

tervala::test::TokenEndpoint& endpoint() {
  static tervala::test::TokenEndpoint shared;
  return shared;
}

const std::string body = "client_id=bench&grant_type=password&password=pw&username=alice";

std::size_t discard(char*, std::size_t size, std::size_t count, void* sink) {
  static_cast<std::string*>(sink)->append(size * count, ' ');
  return size * count;
}

// What the library does per request, without the library: a fresh handle, the same options,
// the same headers and body, on the calling thread.
bool bareRequest(const std::string& url) {
  const std::unique_ptr<CURL, decltype(&curl_easy_cleanup)> handle(curl_easy_init(), &curl_easy_cleanup);
  curl_slist* headers = curl_slist_append(nullptr, "Content-Type: application/x-www-form-urlencoded");
  headers = curl_slist_append(headers, "Accept: application/json");
  const std::unique_ptr<curl_slist, decltype(&curl_slist_free_all)> headerList(headers, &curl_slist_free_all);
  std::string reply;
  curl_easy_setopt(handle.get(), CURLOPT_URL, url.c_str());
  curl_easy_setopt(handle.get(), CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(handle.get(), CURLOPT_POSTFIELDSIZE, static_cast<long>(body.size()));
  curl_easy_setopt(handle.get(), CURLOPT_POSTFIELDS, body.c_str());
  curl_easy_setopt(handle.get(), CURLOPT_HTTPHEADER, headerList.get());
  curl_easy_setopt(handle.get(), CURLOPT_FORBID_REUSE, 1L);
  curl_easy_setopt(handle.get(), CURLOPT_FRESH_CONNECT, 1L);
  curl_easy_setopt(handle.get(), CURLOPT_TIMEOUT_MS, 30000L);
  curl_easy_setopt(handle.get(), CURLOPT_WRITEFUNCTION, &discard);
  curl_easy_setopt(handle.get(), CURLOPT_WRITEDATA, &reply);
  return curl_easy_perform(handle.get()) == CURLE_OK && !reply.empty();
}

// A password grant through the library, waited for.
bool libraryGrant(const std::string& url) {
  std::promise<bool> done;
  auto future = done.get_future();
  tervala::OAuthContext::sharedInstance().getAccessToken(
      url, "bench", "alice", "pw", [&done](auto result) { done.set_value(result && !result->hasError()); });
  return future.get();
}

void BM_PasswordGrantLibrary(benchmark::State& state) {
  const std::string url = endpoint().url();
  for (auto _ : state) {
    if (!libraryGrant(url)) state.SkipWithError("grant failed");
  }
}
BENCHMARK(BM_PasswordGrantLibrary)->Unit(benchmark::kMicrosecond)->UseRealTime();

void BM_PasswordGrantBlocking(benchmark::State& state) {
  const std::string url = endpoint().url();
  for (auto _ : state) {
    const auto result = tervala::OAuthContext::sharedInstance().getAccessToken(url, "bench", "alice", "pw");
    if (!result || result->hasError()) state.SkipWithError("grant failed");
  }
}
BENCHMARK(BM_PasswordGrantBlocking)->Unit(benchmark::kMicrosecond)->UseRealTime();

void BM_PasswordGrantBareCurl(benchmark::State& state) {
  const std::string url = endpoint().url();
  for (auto _ : state) {
    if (!bareRequest(url)) state.SkipWithError("request failed");
  }
}
BENCHMARK(BM_PasswordGrantBareCurl)->Unit(benchmark::kMicrosecond)->UseRealTime();

// The three in one run, interleaved so they see the same machine: the counters give the ratios
// of the asynchronous and the blocking form to bare libcurl.
void BM_LibraryOverBareRatio(benchmark::State& state) {
  const std::string url = endpoint().url();
  Clock::duration library{};
  Clock::duration blocking{};
  Clock::duration bare{};
  for (auto _ : state) {
    const auto start = Clock::now();
    const bool viaLibrary = libraryGrant(url);
    const auto second = Clock::now();
    const auto result = tervala::OAuthContext::sharedInstance().getAccessToken(url, "bench", "alice", "pw");
    const auto third = Clock::now();
    const bool viaCurl = bareRequest(url);
    const auto end = Clock::now();
    if (!viaLibrary || !result || result->hasError() || !viaCurl) state.SkipWithError("request failed");
    library += second - start;
    blocking += third - second;
    bare += end - third;
  }
  const auto micros = [&](Clock::duration total) {
    return std::chrono::duration<double, std::micro>(total).count() / static_cast<double>(state.iterations());
  };
  state.counters["library_us"] = micros(library);
  state.counters["blocking_us"] = micros(blocking);
  state.counters["bare_us"] = micros(bare);
  state.counters["ratio"] = micros(library) / micros(bare);
  state.counters["blocking_ratio"] = micros(blocking) / micros(bare);
}
BENCHMARK(BM_LibraryOverBareRatio)->Unit(benchmark::kMicrosecond)->UseRealTime()->Iterations(2000);

// 1000 grants started at once; all must complete. Peak memory is the process's maximum RSS.
void BM_ThousandGrantsInFlight(benchmark::State& state) {
  const std::string url = endpoint().url();
  constexpr int count = 1000;
  for (auto _ : state) {
    std::mutex mutex;
    std::condition_variable allDone;
    int completed = 0;
    int succeeded = 0;
    for (int index = 0; index < count; ++index) {
      tervala::OAuthContext::sharedInstance().getAccessToken(url, "bench", "alice", "pw", [&](auto result) {
        const std::lock_guard lock(mutex);
        ++completed;
        succeeded += result && !result->hasError() ? 1 : 0;
        allDone.notify_one();
      });
    }
    std::unique_lock lock(mutex);
    allDone.wait(lock, [&] { return completed == count; });
    if (succeeded != count) state.SkipWithError("not every grant succeeded");
  }
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  state.counters["peak_rss_MiB"] = static_cast<double>(usage.ru_maxrss) / 1024.0;
  state.counters["grants"] = count;
}
BENCHMARK(BM_ThousandGrantsInFlight)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(3);

}  // namespace

int main(int argc, char** argv) {
  tervala::setDebugSink(nullptr);
  // A thousand grants in flight hold two sockets each (client and server side).
  rlimit files{};
  if (getrlimit(RLIMIT_NOFILE, &files) == 0 && files.rlim_cur < files.rlim_max) {
    files.rlim_cur = files.rlim_max;
    setrlimit(RLIMIT_NOFILE, &files);
  }
  curl_global_init(CURL_GLOBAL_DEFAULT);
  endpoint();
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
