// json_roundtrip FILE...: writes jsonxx's json() text of the object or array
// in each file to FILE.out; prints "failed FILE" for each that does not parse.
// Runs in the environment's locale (C and C++), which must change nothing.
#include "jsonxx/jsonxx.h"

#include <cstdio>
#include <fstream>
#include <locale>

int main(int argc, char** argv)
{
    std::locale::global(std::locale(""));
    int failures = 0;
    for (int i = 1; i < argc; ++i) {
        std::ifstream in(argv[i], std::ios::binary);
        const std::string written = jsonxx::reformat(in);  // empty only when nothing parsed
        std::ofstream(std::string(argv[i]) + ".out", std::ios::binary) << written;
        if (written.empty() && ++failures)
            std::printf("failed %s\n", argv[i]);
    }
    return failures ? 1 : 0;
}
