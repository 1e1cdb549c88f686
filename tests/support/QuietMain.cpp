// The test programs' main: the library's debug lines are silenced for the whole run, so a suite
// sees only the lines it captures on purpose (LineCapture).
#include <gtest/gtest.h>

#include <tervala/Debug.hpp>

namespace {

class QuietDebugLines : public ::testing::Environment {
 public:
  void SetUp() override { tervala::setDebugSink(nullptr); }
};

}  // namespace

int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  ::testing::AddGlobalTestEnvironment(
      new QuietDebugLines);  // NOLINT(cppcoreguidelines-owning-memory): gtest owns it
  return RUN_ALL_TESTS();
}
