// The test programs' main: the library's debug lines are silenced for the whole run, so a suite
// sees only the lines it captures on purpose (LineCapture).
#include <gtest/gtest.h>

#include <tervala/Debug.hpp>

int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  tervala::setDebugSink(nullptr);
  return RUN_ALL_TESTS();
}
