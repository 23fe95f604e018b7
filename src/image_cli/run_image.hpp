#pragma once

#include "stamp/moment.hpp"

#include <cstdio>

namespace hexstamp::image {

// The whole run of hexstamp-image: stamps images in place, shows the stamp they or a board
// hold, or verifies a board or an image. Results go to `out`, messages to `err`; returns the
// exit status.
int run_image(int argc, const char* const* argv, std::FILE* out, std::FILE* err,
              TimeSource time_source);

} // namespace hexstamp::image
