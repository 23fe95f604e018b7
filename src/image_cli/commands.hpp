#pragma once

#include "image_cli/images.hpp"
#include "image_cli/options.hpp"
#include "stamp/moment.hpp"

#include <cstdio>

// hexstamp-image's three commands, once the images are open and the range is known. Each
// returns the run's status.
namespace hexstamp::image {

// Every image is written beside itself and checked before the first one is replaced.
int stamp_images(const Options& options, Images& images, TimeSource time_source, std::FILE* err);

// What the range of each image, or of the board, holds.
int show_images(const Options& options, Images& images, std::FILE* out, std::FILE* err);

// Every byte of the first image, compared with the board or with each other image.
int verify_images(const Options& options, Images& images, std::FILE* out, std::FILE* err);

} // namespace hexstamp::image
