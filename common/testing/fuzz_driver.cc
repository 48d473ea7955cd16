// Replays a fuzz target without libFuzzer: every file of the seed corpus, each of them cut at
// every length up to 64 bytes, and a fixed series of pseudo-random inputs. The ordinary test
// build runs this so that the parsers see hostile input on every test run.
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

namespace {

void Run(const std::vector<uint8_t>& input) {
  // Copy into an exact-size heap block so that AddressSanitizer catches a read past the end.
  std::vector<uint8_t> exact(input);
  exact.shrink_to_fit();
  LLVMFuzzerTestOneInput(exact.empty() ? nullptr : exact.data(), exact.size());
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::vector<uint8_t>> seeds;
  for (int i = 1; i < argc; ++i) {
    std::error_code ec;
    if (!std::filesystem::is_directory(argv[i], ec)) continue;
    for (const auto& entry : std::filesystem::directory_iterator(argv[i], ec)) {
      std::ifstream in(entry.path(), std::ios::binary);
      seeds.emplace_back(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }
  }
  Run({});
  for (const auto& seed : seeds) {
    Run(seed);
    for (size_t len = 0; len < seed.size() && len < 64; ++len)
      Run(std::vector<uint8_t>(seed.begin(), seed.begin() + len));
  }
  std::mt19937 rng(12345);
  static const char kAlphabet[] = "@<>\"\\[]().;:,*?!#|% \t\r\n\0aAzZ09.-_";
  for (int round = 0; round < 3000; ++round) {
    std::vector<uint8_t> input;
    if (!seeds.empty() && round % 2 == 0) input = seeds[rng() % seeds.size()];
    size_t edits = 1 + rng() % 8;
    for (size_t e = 0; e < edits; ++e) {
      size_t pos = input.empty() ? 0 : rng() % (input.size() + 1);
      uint8_t byte = (rng() % 3 == 0)
                         ? static_cast<uint8_t>(rng())
                         : static_cast<uint8_t>(kAlphabet[rng() % (sizeof kAlphabet - 1)]);
      switch (rng() % 3) {
        case 0:
          input.insert(input.begin() + pos, byte);
          break;
        case 1:
          if (pos < input.size()) input[pos] = byte;
          break;
        default:
          if (pos < input.size()) input.erase(input.begin() + pos);
          break;
      }
    }
    if (round % 97 == 0) input.resize(input.size() + 5000, 'x');
    Run(input);
  }
  return 0;
}
