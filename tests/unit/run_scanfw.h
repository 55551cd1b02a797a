// Runs the whole program in-process, on whatever the fake platform holds.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "app/entry.h"
#include "tests/unit/capture.h"

// The output of scanfw with these arguments (argv[0] is added), and its
// exit status in *status.
inline std::string RunScanfwWithStatus(std::vector<std::string> args,
                                       int *status) {
  args.insert(args.begin(), "scanfw.exe");
  std::vector<char *> argv;
  for (std::string &a : args) argv.push_back(&a[0]);
  argv.push_back(nullptr);
  *status = -1;
  return CaptureOutput([&] {
    *status = ScanfwMain(static_cast<int>(args.size()), argv.data());
  });
}

// The output of scanfw with these arguments; the exit status must be 0
// whatever happens.
inline std::string RunScanfw(std::vector<std::string> args) {
  int status = -1;
  std::string out = RunScanfwWithStatus(std::move(args), &status);
  EXPECT_EQ(status, 0);
  return out;
}
