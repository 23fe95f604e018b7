#pragma once

#include "platform/printf_format.hpp"

#include <cstdio>
#include <string>

// What hexstamp-image says on standard error: every line starts with the program's name, and
// this is the one place that writes it.
namespace hexstamp::image {

// "hexstamp-image: " and the text, ended by a newline.
void say(std::FILE* err, const char* format, ...) HEXSTAMP_PRINTF(2);

// The program's name and the separator, where another unit writes the rest of the line itself.
void say_prefix(std::FILE* err);
// The same as text, for a unit of the lower rooms that takes what stands before its message.
extern const char* const ProgramPrefix;

// Diagnostics about one file: "hexstamp-image: FILE: ..." or "hexstamp-image: FILE:LINE: ...";
// with no stream, none. With `capture`, the message ("FILE:LINE: ...", without the program's
// name) is kept there instead, for a caller that words it into a message of its own.
struct Report {
    std::FILE* err;
    const char* file;
    std::string* capture = nullptr;
    // Line 0: the message concerns the whole file.
    void error(unsigned long line, const char* format, ...) const HEXSTAMP_PRINTF(3);
};

} // namespace hexstamp::image
