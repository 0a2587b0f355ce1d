// Runs a fuzz target's entry point on saved inputs, without libFuzzer: every file
// named on the command line, and every file in every folder named there (names
// beginning with '.' skipped), in name order. A broken property aborts the run.
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

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
    if (argc < 2) {
        fprintf(stderr, "usage: %s FILE_OR_DIR...\n", argv[0]);
        return 2;
    }
    std::vector<fs::path> inputs;
    for (int i = 1; i < argc; i++) {
        fs::path arg(argv[i]);
        std::error_code ec;
        if (fs::is_directory(arg, ec)) {
            std::vector<fs::path> here;
            for (const fs::directory_entry &e : fs::directory_iterator(arg)) {
                if (e.path().filename().string().rfind('.', 0) == 0 || !e.is_regular_file()) continue;
                here.push_back(e.path());
            }
            std::sort(here.begin(), here.end());
            inputs.insert(inputs.end(), here.begin(), here.end());
        } else if (fs::is_regular_file(arg, ec)) {
            inputs.push_back(arg);
        } else {
            fprintf(stderr, "%s: no such file or folder\n", argv[i]);
            return 2;
        }
    }

    LLVMFuzzerInitialize(&argc, &argv);
    for (const fs::path &p : inputs) {
        std::ifstream in(p, std::ios::binary);
        std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        if (!in.good() && !in.eof()) {
            fprintf(stderr, "%s: cannot read\n", p.c_str());
            return 2;
        }
        fprintf(stderr, "replay: %s (%zu bytes)\n", p.c_str(), bytes.size());
        fflush(stdout);
        // A copy of exactly the input's size, so that a read past its end is caught.
        auto *data = static_cast<uint8_t *>(malloc(bytes.size() ? bytes.size() : 1));
        memcpy(data, bytes.data(), bytes.size());
        LLVMFuzzerTestOneInput(data, bytes.size());
        free(data);
    }
    fflush(stdout);
    fprintf(stderr, "replay: %zu inputs, all passed\n", inputs.size());
    return 0;
}
