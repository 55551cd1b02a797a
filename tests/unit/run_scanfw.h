// Runs the whole program in-process, on whatever the fake platform holds.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "app/entry.h"
#include "tests/unit/capture.h"

// The output of scanfw with these arguments (argv[0] is added); the exit
// status must be 0 whatever happens.
inline std::string RunScanfw(std::vector<std::string> args) {
  args.insert(args.begin(), "scanfw.exe");
  std::vector<char *> argv;
  for (std::string &a : args) argv.push_back(&a[0]);
  argv.push_back(nullptr);
  int status = -1;
  std::string out = CaptureOutput(
      [&] { status = ScanfwMain(static_cast<int>(args.size()), argv.data()); });
  EXPECT_EQ(status, 0);
  return out;
}
