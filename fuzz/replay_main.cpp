// Runs every file of the folders (or files) named on the command line
// through the fuzz harness once: the corpus and earlier findings become
// regression tests of the normal (sanitized) build.
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

static void runFile(const std::filesystem::path& path, int& count)
{
    std::ifstream in(path, std::ios::binary);
    std::vector<char> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    LLVMFuzzerTestOneInput(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
    ++count;
}

int main(int argc, char** argv)
{
    int count = 0;
    for (int i = 1; i < argc; ++i) {
        std::filesystem::path arg(argv[i]);
        std::error_code ec;
        if (std::filesystem::is_regular_file(arg, ec)) {
            runFile(arg, count);
            continue;
        }
        if (!std::filesystem::is_directory(arg, ec))
            continue;
        for (const auto& entry : std::filesystem::recursive_directory_iterator(arg, ec))
            if (entry.is_regular_file())
                runFile(entry.path(), count);
    }
    std::printf("replayed %d inputs\n", count);
    return count > 0 ? 0 : 1;
}
