#pragma once

#include <cstdio>

// Everything the tool says on standard error. Each message starts and ends with a
// newline so it stands apart from whatever the terminal shows before it.
namespace hexstamp::messages {

void usage(std::FILE* err, const char* program_name);
void bad_start_address(std::FILE* err, const char* text);
void bad_end_address(std::FILE* err, const char* text);
void start_after_end(std::FILE* err);
void length_too_long(std::FILE* err);
void out_of_memory(std::FILE* err);
void output_failed(std::FILE* err);
void exit_status(std::FILE* err, int status);

} // namespace hexstamp::messages
