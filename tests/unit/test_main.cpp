// The unit tests' main: many tests share one process, and each starts as a
// fresh process would, whatever the test before it left behind (the log
// switched on, a Ctrl+C recorded, the fake's state).
#include <gtest/gtest.h>

#include "app/interrupt.h"
#include "messages/diagnostics.h"
#include "tests/fake/fake_platform.h"

namespace {

class FreshStart : public testing::EmptyTestEventListener {
  void OnTestStart(const testing::TestInfo &) override {
    diag::Stop();
    InstallInterruptHandler();
    fake::Reset();
  }
};

}  // namespace

int main(int argc, char **argv) {
  testing::InitGoogleTest(&argc, argv);
  testing::UnitTest::GetInstance()->listeners().Append(new FreshStart);
  return RUN_ALL_TESTS();
}
