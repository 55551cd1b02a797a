// Writes the seed corpora from the shared scenarios:
//   scanfw_fuzz_seeds RECORD_DIR SCENARIO_DIR OUT_DIR
// makes OUT_DIR/{cmdline,update,service}/NAME, one input per scenario.
#include <sys/stat.h>

#include <cstdio>
#include <fstream>
#include <set>
#include <string>

#include "tests/fake/check/checked_run.h"
#include "tests/fuzz/update_input.h"

namespace {

bool Save(const std::string &path, const std::vector<uint8_t> &bytes) {
  std::ofstream out(path, std::ios::binary);
  out.write(reinterpret_cast<const char *>(bytes.data()),
            static_cast<std::streamsize>(bytes.size()));
  return static_cast<bool>(out);
}

}  // namespace

int main(int argc, char **argv) {
  if (argc != 4) {
    std::fprintf(stderr,
                 "usage: scanfw_fuzz_seeds RECORD_DIR SCENARIO_DIR OUT_DIR\n");
    return 2;
  }
  // The compiled scenarios the fake can run (build/<preset>/scenarios).
  const std::string records = argv[1], in = argv[2], out = argv[3];
  const std::vector<std::string> names = fake::FakeScenarioNames(records);
  for (const char *sub : {"", "/cmdline", "/update", "/service"})
    mkdir((out + sub).c_str(), 0755);
  std::set<std::vector<uint8_t>> lines;
  for (const std::string &name : names) {
    fuzz::UpdateInput input;
    std::string error;
    if (!fake::LoadScenario(records + "/" + name + ".rec",
                            in + "/" + name + ".out", &input.scenario,
                            &error)) {
      std::fprintf(stderr, "%s\n", error.c_str());
      return 1;
    }
    fuzz::IO update;
    fuzz::UpdateFields(update, &input);
    if (!Save(out + "/update/" + name, update.bytes)) return 1;

    // The service as the program drives it: one suspend, then the resume.
    fuzz::IO service;
    fuzz::ServiceFields(service, &input.scenario.service);
    // One step (a suspend: the first op and start type), no injection.
    service.bytes.insert(service.bytes.end(), {1, 0, 0, 0});
    if (!Save(out + "/service/" + name, service.bytes)) return 1;

    std::vector<uint8_t> line{
        static_cast<uint8_t>(input.scenario.langId == 0x0404 ? 1 : 0)};
    for (size_t i = 0; i < input.scenario.args.size(); ++i) {
      if (i > 0) line.push_back(0);
      line.insert(line.end(), input.scenario.args[i].begin(),
                  input.scenario.args[i].end());
    }
    if (lines.insert(line).second && !Save(out + "/cmdline/" + name, line))
      return 1;
  }
  std::printf("seeds: %zu scenarios, %zu command lines\n", names.size(),
              lines.size());
  return 0;
}
