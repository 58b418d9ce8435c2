// Parse, write, parse again: whatever the first parse keeps (the whole
// document, or the members stored before a failure) must be written as text
// that parses again and writes the same bytes. Arrays and values are read
// too, and the XML forms are written, for memory safety.
#include "jsonxx/jsonxx.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <sstream>
#include <string>

namespace {

template <typename Document>
void check_round_trip(const Document& first, const std::string& input)
{
    const std::string text = first.json();
    Document second;
    if (!second.parse(text)) {
        std::fprintf(stderr, "written text does not parse\ninput: %s\ntext: %s\n", input.c_str(), text.c_str());
        std::abort();
    }
    const std::string again = second.json();
    if (again != text) {
        std::fprintf(stderr, "second text differs\ninput: %s\nfirst: %s\nsecond: %s\n", input.c_str(), text.c_str(),
                     again.c_str());
        std::abort();
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const std::string input(reinterpret_cast<const char*>(data), size);

    jsonxx::Object object;
    object.parse(input);
    check_round_trip(object, input);
    for (unsigned format = 1; format <= 4; ++format)
        object.write(format);

    jsonxx::Array array;
    array.parse(input);
    check_round_trip(array, input);

    jsonxx::Value value;
    if (value.parse(input)) {
        std::ostringstream compact;
        compact << value;
    }
    return 0;
}
