// Runs a fuzz target's entry point on saved inputs without libFuzzer: every file named
// on the command line and every file in every folder named there (names starting with
// '.' skipped), in name order. A broken property aborts the run.
#include <stdint.h>
#include <stdio.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerInitialize(int *argc, char ***argv);
extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size);

namespace fs = std::filesystem;

int main(int argc, char **argv) {
    std::vector<fs::path> inputs;
    for (int i = 1; i < argc; i++) {
        std::vector<fs::path> here;
        if (fs::is_directory(argv[i])) {
            for (const fs::directory_entry &e : fs::directory_iterator(argv[i]))
                if (e.is_regular_file() && e.path().filename().string()[0] != '.') here.push_back(e.path());
        } else {
            here.push_back(argv[i]);
        }
        std::sort(here.begin(), here.end());
        inputs.insert(inputs.end(), here.begin(), here.end());
    }
    LLVMFuzzerInitialize(&argc, &argv);
    for (const fs::path &p : inputs) {
        std::ifstream in(p, std::ios::binary);
        if (!in) return fprintf(stderr, "replay: cannot read %s\n", p.c_str()), 2;
        std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        // A block of exactly the input's size (never null), so that a read past its end is caught.
        std::vector<uint8_t> bytes(std::max<size_t>(1, text.size()));
        std::copy(text.begin(), text.end(), bytes.begin());
        fprintf(stderr, "replay: %s (%zu bytes)\n", p.c_str(), text.size());
        LLVMFuzzerTestOneInput(bytes.data(), text.size());
    }
    fprintf(stderr, "replay: %zu inputs, all passed\n", inputs.size());
    return inputs.empty() ? 2 : 0;
}
