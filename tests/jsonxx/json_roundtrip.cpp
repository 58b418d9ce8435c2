// json_roundtrip FILE...: parses each file with jsonxx (an object, or an array
// when its first byte after white space is '[') and writes the json() text
// to FILE.out. Prints "failed FILE" for each file that does not parse; exits
// 1 when any did.
#include "jsonxx/jsonxx.h"

#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>

namespace {

bool convert(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    const size_t first = text.find_first_not_of(" \t\r\n");
    std::string written;
    bool parsed;
    if (first != std::string::npos && text[first] == '[') {
        jsonxx::Array array;
        parsed = array.parse(text);
        written = array.json();
    } else {
        jsonxx::Object object;
        parsed = object.parse(text);
        written = object.json();
    }
    std::ofstream out(path + ".out", std::ios::binary | std::ios::trunc);
    out << written;
    return parsed && static_cast<bool>(out);
}

}  // namespace

int main(int argc, char** argv)
{
    int failures = 0;
    for (int i = 1; i < argc; ++i) {
        if (!convert(argv[i])) {
            std::printf("failed %s\n", argv[i]);
            ++failures;
        }
    }
    return failures == 0 ? 0 : 1;
}
