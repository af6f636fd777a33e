// Replays saved fuzz inputs without libFuzzer: calls a harness once per file of every directory
// (and every file) named on the command line. The ordinary test build links each harness with
// this driver, so every input ever saved in the corpora is checked again by the project's own
// compiler, plain and under the sanitizers, without clang.
//
// Each input is copied into a buffer of exactly its size, so a read past its end is a heap
// overflow that AddressSanitizer sees. The path is printed before the call: a crash or a broken
// property ends the output with the input that caused it.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);

namespace {

namespace fs = std::filesystem;

// The files to replay for one argument, in name order so that runs are reproducible.
std::vector<fs::path> inputs_of(const fs::path& arg) {
  if (!fs::is_directory(arg)) return {arg};
  std::vector<fs::path> files;
  for (const fs::directory_entry& entry : fs::directory_iterator(arg)) {
    if (entry.is_regular_file()) files.push_back(entry.path());
  }
  std::sort(files.begin(), files.end());
  return files;
}

bool replay(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    std::fprintf(stderr, "cannot read %s\n", path.c_str());
    return false;
  }
  const std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  const auto buffer = std::make_unique<std::uint8_t[]>(bytes.size());
  std::copy(bytes.begin(), bytes.end(), buffer.get());
  std::printf("%s\n", path.c_str());
  std::fflush(stdout);
  LLVMFuzzerTestOneInput(buffer.get(), bytes.size());
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  std::size_t replayed = 0;
  for (int i = 1; i < argc; ++i) {
    for (const fs::path& path : inputs_of(argv[i])) {
      if (!replay(path)) return 1;
      ++replayed;
    }
  }
  // An empty or misspelt corpus directory must not pass as a clean run.
  if (replayed == 0) {
    std::fprintf(stderr, "no inputs to replay\n");
    return 1;
  }
  std::printf("replayed %zu inputs\n", replayed);
  return 0;
}
