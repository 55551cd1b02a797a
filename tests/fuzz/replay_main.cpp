// Replays fuzz inputs (files, or every file in the folders named) through a
// harness without libFuzzer, so that any compiler can run the corpus and the
// kept crash inputs.
//   replay_<harness> [--trace] [--mutant NAME --expect-violation] PATH...
// With --mutant the entry points imitate the broken program NAME;
// --expect-violation fails the replay unless some input breaks an invariant.
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "tests/fake/check/faults.h"
#include "tests/fuzz/fuzz_support.h"

namespace {

// The file itself, or every file below the folder (hidden ones skipped), in
// a fixed order.
void Collect(const std::string &path, std::vector<std::string> *files) {
  namespace fs = std::filesystem;
  std::error_code error;
  if (!fs::is_directory(path, error)) {
    if (fs::exists(path, error)) files->push_back(path);
    return;
  }
  std::vector<std::string> found;
  for (const fs::directory_entry &entry : fs::directory_iterator(path, error))
    if (entry.path().filename().string()[0] != '.')
      found.push_back(entry.path().string());
  std::sort(found.begin(), found.end());
  for (const std::string &f : found) Collect(f, files);
}

}  // namespace

int main(int argc, char **argv) {
  const char *mutant = nullptr;
  std::vector<std::string> files;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--expect-violation") == 0) {
      fuzz::replay.count = true;
    } else if (std::strcmp(argv[i], "--trace") == 0) {
      fuzz::replay.trace = true;
    } else if (std::strcmp(argv[i], "--mutant") == 0 && i + 1 < argc) {
      mutant = argv[++i];
    } else {
      Collect(argv[i], &files);
    }
  }
  if (files.empty()) {
    std::fprintf(stderr, "replay: no inputs\n");
    return 2;
  }
  if (mutant != nullptr) {
    fake::Mutant m = fake::MutantFromName(mutant);
    if (m == fake::Mutant::None) {
      std::fprintf(stderr, "replay: unknown mutant %s\n", mutant);
      return 2;
    }
    fake::SetMutant(m);
  }
  for (const std::string &file : files) {
    std::ifstream in(file, std::ios::binary);
    std::vector<char> bytes((std::istreambuf_iterator<char>(in)),
                            std::istreambuf_iterator<char>());
    LLVMFuzzerTestOneInput(reinterpret_cast<const uint8_t *>(bytes.data()),
                           bytes.size());
  }
  std::printf("replay: %zu inputs", files.size());
  if (fuzz::replay.count) {
    std::printf(", %ld violations under %s\n", fuzz::replay.counted,
                mutant ? mutant : "no mutant");
    return fuzz::replay.counted > 0 ? 0 : 1;
  }
  std::printf(", no violation\n");
  return 0;
}
