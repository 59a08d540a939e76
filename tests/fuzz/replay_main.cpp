// SPDX-License-Identifier: MIT
// Feeds every file named on the command line (or found in a directory named there) to a fuzz
// target once, so the saved corpus runs as an ordinary test with any compiler.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);
extern "C" __attribute__((weak)) int LLVMFuzzerInitialize(int* argc, char*** argv);

namespace {

const std::string* gCurrent = nullptr;

// libFuzzer reports a target that exits; so must the replay.
void exitedDuringRun() {
    if (gCurrent != nullptr) {
        std::fprintf(stderr, "replay: target called exit on %s\n", gCurrent->c_str());
        std::_Exit(EXIT_FAILURE);
    }
}

bool replay(const std::filesystem::path& file) {
    std::ifstream in(file, std::ios::binary);
    if (!in) {
        std::fprintf(stderr, "replay: cannot read %s\n", file.c_str());
        return false;
    }
    std::vector<char> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    const std::string name = file.string();
    gCurrent = &name;
    LLVMFuzzerTestOneInput(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size());
    gCurrent = nullptr;
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    std::atexit(exitedDuringRun);
    if (LLVMFuzzerInitialize != nullptr) {
        LLVMFuzzerInitialize(&argc, &argv);
    }
    std::vector<std::filesystem::path> files;
    for (int i = 1; i < argc; ++i) {
        std::filesystem::path arg(argv[i]);
        if (std::filesystem::is_directory(arg)) {
            for (const auto& entry : std::filesystem::directory_iterator(arg)) {
                if (entry.is_regular_file()) {
                    files.push_back(entry.path());
                }
            }
        } else {
            files.push_back(arg);
        }
    }
    if (files.empty()) {
        std::fputs("replay: no inputs\n", stderr);
        return EXIT_FAILURE;
    }
    std::sort(files.begin(), files.end());
    for (const auto& file : files) {
        if (!replay(file)) {
            return EXIT_FAILURE;
        }
    }
    std::fprintf(stderr, "replay: %zu inputs, no finding\n", files.size());
    return EXIT_SUCCESS;
}
