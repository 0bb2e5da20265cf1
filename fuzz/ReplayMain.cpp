// Replays fuzz inputs without libFuzzer: every file named, and every file in every folder
// named, goes through the target once, in name order. A crash or sanitizer report ends the
// run as it would end a fuzzing run, naming the input first.
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

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

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
    for (const fs::path& path : inputs) {
        std::ifstream in(path, std::ios::binary);
        const std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        std::fprintf(stderr, "replaying %s (%zu bytes)\n", path.c_str(), bytes.size());
        // An exact-size copy, so that reading one byte past the input is caught.
        std::unique_ptr<uint8_t[]> copy(new uint8_t[bytes.size()]);
        std::memcpy(copy.get(), bytes.data(), bytes.size());
        LLVMFuzzerTestOneInput(copy.get(), bytes.size());
    }
    std::printf("%zu inputs replayed\n", inputs.size());
    return 0;
}
