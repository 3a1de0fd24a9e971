// replay_main.cpp: runs a fuzz target's checks over files given on the command line, without
// libFuzzer, so that the ordinary compiler builds every target and the test suite replays each
// seed corpus through it. A broken property traps, exactly as under libFuzzer.
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);

int main(int argc, char** argv) {
  if (argc < 2) {  // a seed folder that was emptied or renamed must not pass as replayed
    std::fprintf(stderr, "usage: %s INPUT...\n", argv[0]);
    return 2;
  }
  for (int i = 1; i < argc; ++i) {
    std::ifstream file(argv[i], std::ios::binary);
    if (!file) {
      std::fprintf(stderr, "cannot read %s\n", argv[i]);
      return 1;
    }
    const std::vector<std::uint8_t> input{std::istreambuf_iterator<char>(file), {}};
    LLVMFuzzerTestOneInput(input.data(), input.size());
  }
  std::printf("replayed %d inputs\n", argc - 1);
  return 0;
}
