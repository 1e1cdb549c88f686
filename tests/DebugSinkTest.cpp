#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include <tervala/Debug.hpp>
#include <tervala/OtpGeneratorContext.hpp>
#include <tervala/Text.hpp>
#include <tervala/Version.hpp>

#include "support/LineCapture.hpp"

namespace tervala {
namespace {

const std::string lengthLine = "String length is invalid.";
const std::string createLine = "Tervala.OtpGeneratorContext create";

// Sends file descriptor 1 to a temporary file while it lives; `text()` reads what arrived.
class StandardOutputCapture {
 public:
  StandardOutputCapture()
      : path_(std::filesystem::temp_directory_path() / ("tervala-stdout-" + std::to_string(::getpid()))) {
    std::fflush(stdout);
    saved_ = ::dup(STDOUT_FILENO);
    const int file = ::open(path_.c_str(), O_CREAT | O_TRUNC | O_WRONLY, 0600);
    EXPECT_GE(saved_, 0);
    EXPECT_GE(file, 0);
    EXPECT_GE(::dup2(file, STDOUT_FILENO), 0);
    ::close(file);
  }
  StandardOutputCapture(const StandardOutputCapture&) = delete;
  StandardOutputCapture& operator=(const StandardOutputCapture&) = delete;
  ~StandardOutputCapture() {
    restore();
    std::filesystem::remove(path_);
  }

  std::string text() {
    restore();
    std::ifstream in(path_, std::ios::binary);
    std::stringstream all;
    all << in.rdbuf();
    return all.str();
  }

 private:
  void restore() {
    if (saved_ >= 0) {
      std::fflush(stdout);
      ::dup2(saved_, STDOUT_FILENO);
      ::close(saved_);
      saved_ = -1;
    }
  }
  std::filesystem::path path_;
  int saved_ = -1;
};

TEST(DebugSink, DefaultIsStandardOutputOneLineFeedPerLine) {
  resetDebugSink();
  StandardOutputCapture capture;
  EXPECT_EQ(fromBase32("A"), std::nullopt);
  EXPECT_EQ(fromBase32("A-"), std::nullopt);
  EXPECT_EQ(capture.text(), lengthLine + "\nString contains invalid characters.\n");
}

TEST(DebugSink, RedirectGetsWholeLinesWithoutLineFeeds) {
  StandardOutputCapture output;
  {
    test::LineCapture lines;
    EXPECT_EQ(fromBase32("A"), std::nullopt);
    EXPECT_EQ(lines.take(), std::vector<std::string>{lengthLine});
  }
  EXPECT_EQ(output.text(), "");
}

TEST(DebugSink, EmptySinkSilencesAndResetRestoresStandardOutput) {
  StandardOutputCapture output;
  setDebugSink(nullptr);
  EXPECT_EQ(fromBase32("A"), std::nullopt);
  const auto generator = OtpGeneratorContext::make("GEZDGNBV");
  ASSERT_TRUE(generator);
  (void)generator->create(1);
  resetDebugSink();
  (void)generator->create(2);
  EXPECT_EQ(output.text(), createLine + "\n");
}

TEST(DebugSink, ThrowingSinkLosesOnlyItsLine) {
  setDebugSink([](std::string_view) { throw std::runtime_error("sink failed"); });
  EXPECT_EQ(fromBase32("A"), std::nullopt);
  const auto generator = OtpGeneratorContext::make("GEZDGNBV");
  ASSERT_TRUE(generator);
  EXPECT_TRUE(generator->create(1).has_value());
  resetDebugSink();
}

// A sink that calls back into the library, or replaces itself, neither deadlocks nor loses lines.
TEST(DebugSink, SinkMayCallBackIntoTheLibraryAndReplaceItself) {
  std::vector<std::string> seen;
  setDebugSink([&seen](std::string_view line) {
    seen.emplace_back(line);
    if (line == lengthLine) {
      EXPECT_EQ(fromBase32("A-"), std::nullopt);  // writes a line from inside the sink
      setDebugSink([&seen](std::string_view later) { seen.emplace_back("replaced: " + std::string(later)); });
    }
  });
  EXPECT_EQ(fromBase32("A"), std::nullopt);
  EXPECT_EQ(fromBase32("A"), std::nullopt);
  resetDebugSink();
  EXPECT_EQ(seen, (std::vector<std::string>{lengthLine, "String contains invalid characters.",
                                            "replaced: " + lengthLine}));
}

// Lines from many threads at once stay whole, on standard output and in a custom sink.
TEST(DebugSink, ConcurrentLinesNeverMix) {
  constexpr int threads = 6;
  constexpr int rounds = 300;
  const auto generator = OtpGeneratorContext::make("GEZDGNBVGY3TQOJQGEZDGNBVGY3TQOJQ");
  ASSERT_TRUE(generator);
  const auto run = [&] {
    std::vector<std::thread> workers;
    for (int t = 0; t < threads; ++t) {
      workers.emplace_back([&] {
        for (int i = 0; i < rounds; ++i) {
          (void)fromBase32("AAA");
          (void)generator->create(static_cast<std::uint64_t>(i));
        }
      });
    }
    for (auto& worker : workers) {
      worker.join();
    }
  };

  resetDebugSink();
  StandardOutputCapture output;
  run();
  std::map<std::string, int> counts;
  std::istringstream lines(output.text());
  for (std::string line; std::getline(lines, line);) {
    ++counts[line];
  }
  EXPECT_EQ(counts,
            (std::map<std::string, int>{{lengthLine, threads * rounds}, {createLine, threads * rounds}}));

  test::LineCapture capture;
  run();
  counts.clear();
  for (const auto& line : capture.take()) {
    ++counts[line];
  }
  EXPECT_EQ(counts,
            (std::map<std::string, int>{{lengthLine, threads * rounds}, {createLine, threads * rounds}}));
}

TEST(VersionSymbols, NumberAndWhatString) {
  EXPECT_EQ(TervalaVersionNumber, 1.0);
  EXPECT_STREQ(TervalaVersionString, "@(#)PROGRAM:Tervala  PROJECT:Quillon-1\n");
}

}  // namespace
}  // namespace tervala
