#pragma once

#include "image/image_file.hpp"

#include <cstdint>
#include <cstdio>

// The image formats. Each reads its whole image, checking it, and records in the patch the
// bytes the image holds in the range; given `out` and a stamp, it also writes the image there
// with the range's bytes replaced, and everything else as it was.
namespace hexstamp::image {

bool process_intel_hex(std::FILE* in, std::FILE* out, Patch& patch, const Report& report);
bool process_srecord(std::FILE* in, std::FILE* out, Patch& patch, const Report& report);
// A raw binary whose first byte belongs at `base`.
bool process_binary(std::FILE* in, std::uint32_t base, std::FILE* out, Patch& patch,
                    const Report& report);
bool process_elf(std::FILE* in, std::FILE* out, Patch& patch, const Report& report);

// Where a stamp lives in an ELF: a symbol (from .symtab) or a section, given as the range at
// its load address, where a HEX file made from the ELF holds it.
struct ElfPlace {
    const char* symbol = nullptr; // or else
    const char* section = ".hexstamp";
};
bool find_in_elf(std::FILE* in, const ElfPlace& place, Range& range, const Report& report);

} // namespace hexstamp::image
