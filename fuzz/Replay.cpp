// Runs a fuzz target over the files of its corpus, once each and in name
// order, as an ordinary test: what once crashed it, or once widened its
// coverage, stays checked in every build. Usage: TARGET_Replay CORPUS_DIR
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <system_error>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

namespace fs = std::filesystem;

int main(int argc, char** argv) {
  std::vector<fs::path> files;
  std::error_code error;
  for (fs::directory_iterator it(argc == 2 ? argv[1] : "", error), end; !error && it != end;
       it.increment(error))
    files.push_back(it->path());
  std::sort(files.begin(), files.end());
  if (error || files.empty()) {
    std::fprintf(stderr, "replay: no corpus files\n");
    return 1;
  }
  for (const fs::path& file : files) {
    std::ifstream in(file, std::ios::binary);
    std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(in)),
                               std::istreambuf_iterator<char>());
    LLVMFuzzerTestOneInput(bytes.data(), bytes.size());
  }
  std::printf("replay: %zu inputs\n", files.size());
  return 0;
}
