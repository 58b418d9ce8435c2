// Helpers shared by the jsonxx tests.
#pragma once

#include <gtest/gtest.h>

#include "jsonxx/jsonxx.h"

#include <sstream>
#include <string>

namespace jsontest {

// The compact one-line form written by operator<< (an Object or an Array).
template <typename Document>
std::string compact(const Document& document)
{
    std::ostringstream out;
    out << document;
    return out.str();
}

// An object parsed from text; a text that does not parse fails the test.
inline jsonxx::Object parsed(const std::string& text)
{
    jsonxx::Object object;
    EXPECT_TRUE(object.parse(text)) << text;
    return object;
}

}  // namespace jsontest
