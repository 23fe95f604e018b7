#pragma once

#include "cli/run.hpp"

#include <cstdio>

namespace hexstamp::image {

// Exit statuses of hexstamp-image, as grep's: for show, 1 means the range holds no stamp.
enum ImageStatus : int {
    ImageSuccess = 0,
    NoStamp = 1,
    ImageFailed = 2,
};

// The whole run of hexstamp-image: stamps images in place or shows the stamp of one.
// Results go to `out`, messages to `err`; returns the exit status.
int run_image(int argc, const char* const* argv, std::FILE* out, std::FILE* err,
              TimeSource time_source);

} // namespace hexstamp::image
