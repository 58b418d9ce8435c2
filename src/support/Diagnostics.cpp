#include "support/LibUtils.h"

void DebugOutput(char const* text)
{
    if (text)
        std::fputs(text, stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
}

void DebugOutput1(char const* format, char const* argument)
{
    char line[1024];
    std::snprintf(line, sizeof line, format ? format : "%s", argument ? argument : "");
    DebugOutput(line);
}
