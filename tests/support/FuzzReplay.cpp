// The main of a fuzz target built without a fuzzing engine: replays every file of the
// corpus directories given on the command line, each also cut at every length and with
// every byte flipped, so that ctest runs the target's checks over its seeds.

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);

int main(int argc, char** argv) {
  std::size_t inputs = 0;
  for (int i = 1; i < argc; ++i) {
    std::vector<std::filesystem::path> files;
    for (const auto& entry : std::filesystem::directory_iterator(argv[i]))
      if (entry.is_regular_file()) files.push_back(entry.path());
    std::sort(files.begin(), files.end());
    for (const auto& file : files) {
      std::ifstream in(file, std::ios::binary);
      std::vector<std::uint8_t> bytes((std::istreambuf_iterator<char>(in)), {});
      for (std::size_t n = 0; n <= bytes.size(); ++n, ++inputs) LLVMFuzzerTestOneInput(bytes.data(), n);
      for (std::size_t pos = 0; pos < bytes.size(); ++pos)
        for (const std::uint8_t flip : {0x01, 0x80, 0xFF}) {
          bytes[pos] ^= flip;
          LLVMFuzzerTestOneInput(bytes.data(), bytes.size());
          bytes[pos] ^= flip;
          ++inputs;
        }
    }
  }
  std::printf("%zu inputs replayed\n", inputs);
  return inputs > 0 ? 0 : 1;
}
