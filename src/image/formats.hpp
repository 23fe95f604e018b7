#pragma once

#include "image/image_file.hpp"

#include <cstdint>
#include <cstdio>

// The image formats. Each reads its whole image, checking it, and records in the patch the
// bytes the image holds in the range; given `out` and a stamp, it also writes the image there
// with the range's bytes replaced, any checksum over them made anew, and everything else as
// it was.
namespace hexstamp::image {

enum class Format { Elf, IntelHex, SRecord, TiTxt, Binary, DfuFile, Uf2, EspImage, DfuSe };
const char* format_name(Format format);
// A raw binary, with or without a DFU suffix: the address of its first byte is not in it.
bool needs_base(Format format);
// A text format, to which records holding a range no record holds can be added.
bool is_text(Format format);

// Tells the format from the content of the file, not from its name; leaves the file at its
// start. False when it cannot be read.
bool detect_format(std::FILE* in, const Report& report, Format& format);

// Processes an image of any format; `base` is a raw binary's, `elf_offset` as process_elf's.
bool process_image(Format format, std::FILE* in, std::uint32_t base, std::FILE* out, Patch& patch,
                   const std::uint64_t* elf_offset, const Report& report);

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
bool process_ti_txt(std::FILE* in, std::FILE* out, Patch& patch, const Report& report);
bool process_uf2(std::FILE* in, std::FILE* out, Patch& patch, const Report& report);
bool process_esp_image(std::FILE* in, std::FILE* out, Patch& patch, const Report& report);
bool process_dfuse(std::FILE* in, std::FILE* out, Patch& patch, const Report& report);
// A raw binary followed by a DFU suffix, whose CRC is made anew.
bool process_dfu_file(std::FILE* in, std::uint32_t base, std::FILE* out, Patch& patch,
                      const Report& report);

// Whether the first bytes of a file that starts with 0xE9 lay out an ESP-IDF app image: a
// segment count of 1 to 16 whose segments' lengths lead to a checksum within the file.
bool is_esp_image(const std::uint8_t* start, std::size_t read, std::FILE* in, std::uint64_t size);
// What a file taken for a raw binary may be meant as: a broken ESP-IDF app image.
const char* raw_binary_note(const std::uint8_t* start, std::size_t read, std::FILE* in,
                            std::uint64_t size);
// The same for an open file, which is left at its start.
const char* raw_binary_note(std::FILE* in);
// Whether the file ends in a DFU suffix (its signature "UFD" and length 16).
bool has_dfu_suffix(std::FILE* in, std::uint64_t size);
bool process_srecord(std::FILE* in, std::FILE* out, Patch& patch, const Report& report);
// A raw binary whose first byte belongs at `base`.
bool process_binary(std::FILE* in, std::uint32_t base, std::FILE* out, Patch& patch,
                    const Report& report);
// `known_offset`, when given, is where the range lies in the file, as find_in_elf found it.
bool process_elf(std::FILE* in, std::FILE* out, Patch& patch, const std::uint64_t* known_offset,
                 const Report& report);

// Whether an ELF is for MIPS, whose KSEG0 and KSEG1 addresses stand for physical ones.
bool is_mips_elf(std::FILE* in);
// The physical address a MIPS KSEG0 or KSEG1 address (0x80000000 to 0xBFFFFFFF) stands
// for, as a PIC32's HEX files hold it: the top three bits cleared. Others are as given.
inline std::uint64_t mips_physical(std::uint64_t address) {
    return address >= 0x80000000u && address <= 0xBFFFFFFFu ? address & 0x1FFFFFFFu : address;
}

// Where a stamp lives in an ELF: a symbol (from .symtab) or a section, given as the range at
// its load address, where a HEX file made from the ELF holds it.
struct ElfPlace {
    const char* symbol = nullptr; // when null, the section
    const char* section = ".hexstamp";
    // Without the section, this symbol, when given: the name the firmware header gives the
    // stamp where it cannot have a section of its own (AVR).
    const char* fallback_symbol = nullptr;
};
// Also gives the symbol's or section's offset in the file: that ELF is stamped there, whatever
// else its segments place at the same load address.
bool find_in_elf(std::FILE* in, const ElfPlace& place, Range& range, std::uint64_t& offset,
                 const Report& report);

} // namespace hexstamp::image
