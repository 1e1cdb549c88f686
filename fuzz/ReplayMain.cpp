// Replays a fuzz target's corpus as a plain test: every file under the given folders (or each file
// given) goes once through LLVMFuzzerTestOneInput. Lets compilers without libFuzzer, and the
// sanitizer builds, keep every input that ever mattered passing.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <system_error>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);

namespace {

std::vector<std::filesystem::path> inputsUnder(const std::filesystem::path& root) {
  std::vector<std::filesystem::path> files;
  std::error_code error;
  if (std::filesystem::is_regular_file(root, error)) {
    files.push_back(root);
    return files;
  }
  for (std::filesystem::recursive_directory_iterator it(root, error), end; !error && it != end;
       it.increment(error)) {
    if (it->is_regular_file(error)) {
      files.push_back(it->path());
    }
  }
  if (error) {
    std::fprintf(stderr, "replay: cannot read %s: %s\n", root.c_str(), error.message().c_str());
    files.clear();
  }
  std::sort(files.begin(), files.end());
  return files;
}

}  // namespace

int main(int argc, char** argv) {
  std::size_t replayed = 0;
  for (int i = 1; i < argc; ++i) {
    for (const auto& file : inputsUnder(argv[i])) {
      std::ifstream in(file, std::ios::binary);
      const std::vector<char> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
      if (!in.eof() && in.fail()) {
        std::fprintf(stderr, "replay: cannot read %s\n", file.c_str());
        return 1;
      }
      std::fprintf(stderr, "replay: %s\n", file.c_str());
      std::vector<std::uint8_t> input(bytes.begin(), bytes.end());
      LLVMFuzzerTestOneInput(input.data(), input.size());
      ++replayed;
    }
  }
  // An empty or missing corpus would make this test pass without testing anything.
  if (replayed == 0) {
    std::fprintf(stderr, "replay: no inputs found\n");
    return 1;
  }
  std::printf("replay: %zu inputs, all passed\n", replayed);
  return 0;
}
