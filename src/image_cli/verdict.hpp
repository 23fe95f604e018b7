#pragma once

#include "image/checks.hpp"
#include "image/compare.hpp"
#include "image/contents.hpp"
#include "image/patch.hpp"

#include <cstdint>
#include <cstdio>
#include <vector>

namespace hexstamp::image {

// A range verify left out, and how many of the image's bytes lay there.
struct Excluded {
    Range range;
    std::uint64_t bytes = 0;
};

// What verify found of `name` (a board, when `board`, or another image) against the image.
struct Verdict {
    const char* name;
    bool board;
    const char* image_name;
    const Contents& image;
    const std::vector<Compared>& result;
    const char* stamp; // the image's, when it has a valid one
    const std::vector<Excluded>& excluded;
};

// One line on `out` when every region is equal, with the image's stamp when it has one;
// otherwise a line on `err` for each region that differs. With `json`, one object on `out`.
// Returns ImageSuccess or NoStamp.
int print_verdict(const Verdict& verdict, bool json, std::FILE* out, std::FILE* err);

// What verify IMAGE found by the image's own checks, in one line: ImageSuccess when whole or
// when the format carries none, NoStamp when one is wrong.
int print_checks(const char* name, const char* format, const Checks& checks, bool json,
                 std::FILE* out, std::FILE* err);

} // namespace hexstamp::image
