#pragma once

#include "image/image_file.hpp"

#include <cstdint>
#include <cstdio>

// The image formats. Each reads its whole image, checking it, and records in the patch the
// bytes the image holds in the range; given `out` and a stamp, it also writes the image there
// with the range's bytes replaced, and everything else as it was.
namespace hexstamp::image {

// Passes each line of a text image to `record` until one is refused; false then, or when the
// file cannot be read.
template <typename Record> bool for_each_line(std::FILE* in, const Report& report, Record record) {
    LineReader reader(in, report);
    Line line;
    bool ok = true;
    while (ok && reader.next(line)) {
        ok = record(line);
    }
    return ok && !reader.failed();
}

bool process_intel_hex(std::FILE* in, std::FILE* out, Patch& patch, const Report& report);
bool process_srecord(std::FILE* in, std::FILE* out, Patch& patch, const Report& report);
// A raw binary whose first byte belongs at `base`.
bool process_binary(std::FILE* in, std::uint32_t base, std::FILE* out, Patch& patch,
                    const Report& report);
// `known_offset`, when given, is where the range lies in the file, as find_in_elf found it.
bool process_elf(std::FILE* in, std::FILE* out, Patch& patch, const std::uint64_t* known_offset,
                 const Report& report);

// Where a stamp lives in an ELF: a symbol (from .symtab) or a section, given as the range at
// its load address, where a HEX file made from the ELF holds it.
struct ElfPlace {
    const char* symbol = nullptr; // when null, the section
    const char* section = ".hexstamp";
};
// Also gives the symbol's or section's offset in the file: that ELF is stamped there, whatever
// else its segments place at the same load address.
bool find_in_elf(std::FILE* in, const ElfPlace& place, Range& range, std::uint64_t& offset,
                 const Report& report);

} // namespace hexstamp::image
