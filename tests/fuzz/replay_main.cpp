// SPDX-License-Identifier: MIT
// Feeds every file in the directories named on the command line to a fuzz target once, in name
// order, so that the saved corpus runs as an ordinary test with any compiler.
#include <fcntl.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <set>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);

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
    // The oracles check what the targets do, not what they print; as with libFuzzer's
    // -close_fd_mask, output goes nowhere but still succeeds.
    const int null = open("/dev/null", O_WRONLY | O_CLOEXEC);
    if (null < 0 || dup2(null, STDOUT_FILENO) < 0) {
        return EXIT_FAILURE;
    }
    std::set<std::filesystem::path> files;
    std::error_code error;
    for (int i = 1; i < argc; ++i) {
        for (const auto& entry : std::filesystem::directory_iterator(argv[i], error)) {
            files.insert(entry.path());
        }
    }
    for (const auto& file : files) {
        std::ifstream in(file, std::ios::binary);
        const std::vector<char> bytes((std::istreambuf_iterator<char>(in)), {});
        if (!in) {
            std::fprintf(stderr, "replay: cannot read %s\n", file.c_str());
            return EXIT_FAILURE;
        }
        gRunning = true;
        LLVMFuzzerTestOneInput(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size());
        gRunning = false;
    }
    std::fprintf(stderr, "replay: %zu inputs, no finding\n", files.size());
    return files.empty() || error ? EXIT_FAILURE : EXIT_SUCCESS;
}
