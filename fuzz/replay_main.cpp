// Replays stored inputs through one fuzz target, without libFuzzer: every
// regular file in the folders given (a missing folder is skipped, since the
// crash folder appears only with a first crash). A crash or a broken property
// aborts the process, which fails the test; the path of the input is printed
// first so the failure names it.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

int main(int argc, char* argv[])
{
    namespace fs = std::filesystem;
    int replayed = 0;
    for (int i = 1; i < argc; ++i) {
        std::error_code error;
        if (!fs::is_directory(argv[i], error))
            continue;
        std::vector<fs::path> files;
        for (const fs::directory_entry& entry : fs::directory_iterator(argv[i]))
            if (entry.is_regular_file() && entry.path().filename().string()[0] != '.')
                files.push_back(entry.path());
        std::sort(files.begin(), files.end());
        for (const fs::path& path : files) {
            std::fprintf(stderr, "%s\n", path.c_str());
            std::ifstream stream(path, std::ios::binary);
            const std::vector<char> bytes { std::istreambuf_iterator<char>(stream), {} };
            LLVMFuzzerTestOneInput(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
            ++replayed;
        }
    }
    std::fprintf(stderr, "%d inputs replayed\n", replayed);
    // No input at all means the folders were moved, not that all is well.
    return replayed > 0 ? 0 : 1;
}
