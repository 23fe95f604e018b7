#pragma once

#include "image/image_file.hpp"

#include <cstdio>

namespace hexstamp::image {

// Prints what the image holds in the range: the stamp on one line, or with `json` an
// object; when it holds no valid stamp, also a line on `err` that says why. Returns
// ImageSuccess or NoStamp.
int show_stamp(const Patch& patch, const char* file, bool json, std::FILE* out, std::FILE* err);

} // namespace hexstamp::image
