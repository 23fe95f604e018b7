#pragma once

#include "cli/run.hpp"
#include "image/image_file.hpp"

#include <cstdio>

namespace hexstamp::image {

// The whole run of hexstamp-image: stamps images in place or shows the stamp of one.
// Results go to `out`, messages to `err`; returns the exit status.
int run_image(int argc, const char* const* argv, std::FILE* out, std::FILE* err,
              TimeSource time_source);

} // namespace hexstamp::image
