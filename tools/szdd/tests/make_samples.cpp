// Writes every sample as NAME.bin into the folder given, for packing at build
// time and expanding in the Wine test.

#include <cstdio>
#include <string>

#include "samples.h"

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: szdd_make_samples FOLDER\n");
    return 2;
  }
  for (const auto& sample : szdd_test::MakeSamples()) {
    const std::string path = std::string(argv[1]) + "/" + sample.name + ".bin";
    std::FILE* file = std::fopen(path.c_str(), "wb");
    if (!file) {
      std::perror(path.c_str());
      return 1;
    }
    const bool written = std::fwrite(sample.bytes.data(), 1, sample.bytes.size(), file) == sample.bytes.size();
    if (std::fclose(file) != 0 || !written) {
      std::perror(path.c_str());
      return 1;
    }
  }
  return 0;
}
