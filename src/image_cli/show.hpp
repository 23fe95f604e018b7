#pragma once

#include "image/patch.hpp"

#include <cstdio>
#include <vector>

namespace hexstamp::image {

// Where a stamp was read: an image file or a board, and what it holds in the range.
struct Source {
    const char* name;
    const Patch* patch;
};

// Prints what each image holds in the range: the stamp on one line (after the file's name
// when there are several), or with `json` an object a line; for an image that holds no valid
// stamp, or one that differs from the others, also a line on `err` that says so. Returns
// ImageSuccess when all hold the same valid stamp, else NoStamp.
int show_stamps(const std::vector<Source>& images, bool json, std::FILE* out, std::FILE* err);

// Prints the stamp the board holds; with an image, the board's must be valid and equal the
// image's, and a line on `err` names both when not.
int show_board(const Source& board, const Source* image, bool json, std::FILE* out, std::FILE* err);

// Whether the range holds a valid stamp, and the stamp as show prints it.
bool valid_stamp(const Patch& patch, char (&text)[32]);

} // namespace hexstamp::image
