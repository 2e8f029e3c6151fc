// Replays kept inputs through a fuzz target's entry point, without libFuzzer: the
// ordinary test runs (GCC, and the sanitizer build) check that no kept input crashes
// again. Arguments: files or folders (searched recursively); a missing folder counts
// as empty, so a target without kept crashes needs none.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "support.h"

namespace {

bool Replay(const std::filesystem::path& file) {
  std::ifstream in(file, std::ios::binary);
  if (!in) {
    fprintf(stderr, "cannot read %s\n", file.string().c_str());
    return false;
  }
  const std::vector<char> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  // A copy of exactly the input's size, as libFuzzer gives it: a read past its end is
  // caught by the sanitizer build.
  std::vector<uint8_t> data(bytes.begin(), bytes.end());
  printf("%s (%zu bytes)\n", file.string().c_str(), data.size());
  fflush(stdout);
  LLVMFuzzerTestOneInput(data.empty() ? nullptr : data.data(), data.size());
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  LLVMFuzzerInitialize(&argc, &argv);
  namespace fs = std::filesystem;
  size_t replayed = 0;
  bool ok = true;
  for (int i = 1; i < argc; ++i) {
    const fs::path root(argv[i]);
    std::error_code error;
    if (fs::is_regular_file(root, error)) {
      ok = Replay(root) && ok;
      ++replayed;
      continue;
    }
    if (!fs::is_directory(root, error)) continue;
    std::vector<fs::path> files;
    for (const auto& entry : fs::recursive_directory_iterator(root, error)) {
      if (entry.is_regular_file() && entry.path().filename().string()[0] != '.' &&
          entry.path().extension() != ".md")
        files.push_back(entry.path());
    }
    std::sort(files.begin(), files.end());
    for (const auto& file : files) {
      ok = Replay(file) && ok;
      ++replayed;
    }
  }
  printf("%zu input(s) replayed\n", replayed);
  return ok ? 0 : 1;
}
