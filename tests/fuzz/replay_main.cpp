// SPDX-License-Identifier: MIT
// Feeds every file named on the command line, or found in a directory named there, to a fuzz
// target once, so that the saved corpus runs as an ordinary test with any compiler.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);
extern "C" __attribute__((weak)) int LLVMFuzzerInitialize(int* argc, char*** argv);

namespace {

// libFuzzer reports a target that exits; so must the replay.
bool gRunning = false;

}  // namespace

int main(int argc, char** argv) {
    std::atexit([] {
        if (gRunning) {
            std::fputs("replay: the target called exit\n", stderr);
            std::_Exit(EXIT_FAILURE);
        }
    });
    if (LLVMFuzzerInitialize != nullptr) {
        LLVMFuzzerInitialize(&argc, &argv);
    }
    std::vector<std::filesystem::path> files;
    for (int i = 1; i < argc; ++i) {
        if (std::filesystem::is_directory(argv[i])) {
            for (const auto& entry : std::filesystem::directory_iterator(argv[i])) {
                files.push_back(entry.path());
            }
        } else {
            files.emplace_back(argv[i]);
        }
    }
    if (files.empty()) {
        std::fputs("replay: no inputs\n", stderr);
        return EXIT_FAILURE;
    }
    std::sort(files.begin(), files.end());
    for (const auto& file : files) {
        std::ifstream in(file, std::ios::binary);
        if (!in) {
            std::fprintf(stderr, "replay: cannot read %s\n", file.c_str());
            return EXIT_FAILURE;
        }
        const std::vector<char> bytes((std::istreambuf_iterator<char>(in)),
                                      std::istreambuf_iterator<char>());
        gRunning = true;
        LLVMFuzzerTestOneInput(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size());
        gRunning = false;
    }
    std::fprintf(stderr, "replay: %zu inputs, no finding\n", files.size());
    return EXIT_SUCCESS;
}
