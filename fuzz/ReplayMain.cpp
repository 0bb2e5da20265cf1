// Replays fuzz inputs without libFuzzer: every file named, and every file in every folder
// named, goes through the target in name order, then once more in the opposite order. A crash
// or sanitizer report ends the run as it would end a fuzzing run, naming the input first; an
// input whose answers differ between the two rounds fails the run, since a crash found after
// it could not be reproduced from the input alone.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

#include "FuzzSupport.h"

namespace fs = std::filesystem;

int main(int argc, char** argv) {
    std::vector<fs::path> inputs;
    for (int i = 1; i < argc; ++i) {
        std::error_code ec;
        if (fs::is_directory(argv[i], ec)) {
            for (const auto& entry : fs::directory_iterator(argv[i])) {
                if (entry.is_regular_file()) inputs.push_back(entry.path());
            }
        } else if (fs::is_regular_file(argv[i], ec)) {
            inputs.push_back(argv[i]);
        } else {
            std::fprintf(stderr, "%s: no such file or folder\n", argv[i]);
            return 2;
        }
    }
    if (inputs.empty()) {
        std::fprintf(stderr, "usage: %s CORPUS-FOLDER-OR-FILE...: found no input to replay\n", argv[0]);
        return 2;
    }
    std::sort(inputs.begin(), inputs.end());
    auto replay = [](const fs::path& path) {
        std::ifstream in(path, std::ios::binary);
        const std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        std::fprintf(stderr, "replaying %s (%zu bytes)\n", path.c_str(), bytes.size());
        // An exact-size copy, so that reading one byte past the input is caught.
        std::unique_ptr<uint8_t[]> copy(new uint8_t[bytes.size()]);
        std::memcpy(copy.get(), bytes.data(), bytes.size());
        pvfuzz::TakeSentDigest();
        LLVMFuzzerTestOneInput(copy.get(), bytes.size());
        return pvfuzz::TakeSentDigest();
    };
    std::vector<uint64_t> first;
    for (const fs::path& path : inputs) first.push_back(replay(path));
    int changed = 0;
    for (size_t i = inputs.size(); i-- > 0;) {
        if (replay(inputs[i]) != first[i]) {
            std::fprintf(stderr, "%s: the answers differ from the first round: an earlier input left state behind\n",
                         inputs[i].c_str());
            ++changed;
        }
    }
    if (changed) return 1;
    std::printf("%zu inputs replayed twice\n", inputs.size());
    return 0;
}
