#pragma once

#include <cstdio>

namespace hexstamp::image {

// A JSON string, quoted and escaped.
void print_json_string(const char* text, std::FILE* out);

} // namespace hexstamp::image
