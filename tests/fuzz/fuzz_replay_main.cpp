// Runs a fuzz target over saved inputs without libFuzzer, so that the seed corpus and every
// regression input are replayed by any compiler, under AddressSanitizer or valgrind.
// Arguments: files or folders (every file in a folder, in name order).
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);

namespace {

bool Replay(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    std::fprintf(stderr, "cannot read %s\n", path.c_str());
    return false;
  }
  const std::vector<char> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  LLVMFuzzerTestOneInput(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size());
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  int replayed = 0;
  bool ok = true;
  for (int i = 1; i < argc; ++i) {
    std::vector<std::filesystem::path> inputs;
    std::error_code error;
    if (std::filesystem::is_directory(argv[i], error)) {
      for (const auto& entry : std::filesystem::directory_iterator(argv[i], error)) {
        if (entry.is_regular_file()) inputs.push_back(entry.path());
      }
      std::sort(inputs.begin(), inputs.end());
    } else {
      inputs.emplace_back(argv[i]);
    }
    if (error) {
      std::fprintf(stderr, "cannot list %s\n", argv[i]);
      ok = false;
    }
    for (const auto& input : inputs) {
      ok = Replay(input) && ok;
      ++replayed;
    }
  }
  std::printf("%d inputs replayed\n", replayed);
  // An empty replay proves nothing: a missing corpus is a failure.
  return ok && replayed > 0 ? 0 : 1;
}
