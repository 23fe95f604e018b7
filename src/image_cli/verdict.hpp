#pragma once

#include "image/compare.hpp"
#include "image/contents.hpp"

#include <cstdio>
#include <vector>

namespace hexstamp::image {

// What verify prints of `name` (a board, when `board`, or another image) against the image:
// one line on `out` when every region is equal, with the image's stamp when it has one
// (`stamp` not null); otherwise a line on `err` for each region that differs. With `json`,
// one object on `out`. Returns ImageSuccess or NoStamp.
int print_verdict(const char* name, bool board, const char* image_name, const Contents& image,
                  const std::vector<Compared>& result, const char* stamp, bool json, std::FILE* out,
                  std::FILE* err);

} // namespace hexstamp::image
