#pragma once

#include "formats/format.hpp"
#include "image/patch.hpp"
#include "image/replacement.hpp"
#include "image/report.hpp"
#include "image_cli/options.hpp"
#include "platform/lock.hpp"

#include <cstdio>
#include <vector>

namespace hexstamp::image {

// An image file, open for reading, and its format.
struct Image {
    Image() = default;
    Image(const Image&) = delete;
    Image& operator=(const Image&) = delete;
    ~Image() { close(); }
    void close();

    const char* path = nullptr;
    std::FILE* in = nullptr;
    const Format* format = nullptr;
    Parameters parameters;
    Report report{};
    Patch patch;
    Replacement replacement;

    // Processes the image with `out` (null: only reads) into `into`; with `checks`, the
    // image's own checks are counted rather than refused.
    bool process(std::FILE* out, Patch& into, Checks* checks = nullptr);
    bool process(std::FILE* out) { return process(out, patch); }
};

// The images of the command line and what they share, once their formats are known.
struct Images {
    // Held for the whole run: another run over the same images waits, then finds them whole.
    platform::FileLocks locks;
    std::vector<Image> list;
    bool has_range = false;  // whether the stamp's range is known
    bool mips = false;       // the range came from a MIPS ELF
    bool undeclared = false; // --if-declared, and the ELF declares no stamp: nothing to do
    Range range;
};

// Opens the images, tells their formats and finds the range (from the options or an ELF among
// them) and where each image holds it; checks --base. The status, with the reason on `err`.
int prepare_images(const Options& options, Images& images, std::FILE* err);

// Checks the image as its own checksums, CRCs and hashes have it: the status of verify IMAGE.
bool check_image(Image& image, Checks& checks);

// The contents of a MIPS ELF as a PIC32's other images hold them: at physical addresses.
Contents physical_contents(const Contents& contents);

} // namespace hexstamp::image
