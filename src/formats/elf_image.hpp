#pragma once

#include "formats/format.hpp"
#include "image/patch.hpp"
#include "image/report.hpp"

#include <cstdint>
#include <cstdio>

// What hexstamp-image asks of an ELF beyond its bytes: where the stamp lives.
namespace hexstamp::image {

// The ELF row of the format table.
extern const Format ElfFormat;

// Where a stamp lives in an ELF: a symbol (from .symtab) or a section.
struct ElfPlace {
    const char* symbol = nullptr; // when null, the section
    const char* section = ".hexstamp";
    // Without the section, this symbol, when given: the name the firmware header gives the
    // stamp where it cannot have a section of its own (AVR).
    const char* fallback_symbol = nullptr;
};

// The stamp an ELF places: its range at its load address, where a HEX file made from the ELF
// holds it; its offset in the file, where that ELF is stamped, whatever else its segments
// place at the same load address; and whether the ELF is for MIPS.
struct ElfStamp {
    Range range;
    std::uint64_t offset = 0;
    bool mips = false;
};
bool find_in_elf(std::FILE* in, const ElfPlace& place, ElfStamp& stamp, const Report& report);

// Whether the ELF declares the stamp at all: the section or a symbol of the name exists. An ELF
// that cannot be read declares it, so that what is wrong with it is reported.
bool declares_stamp(std::FILE* in, const ElfPlace& place);

// The physical address a MIPS KSEG0 or KSEG1 address (0x80000000 to 0xBFFFFFFF) stands
// for, as a PIC32's HEX files hold it: the top three bits cleared. Others are as given.
inline std::uint64_t mips_physical(std::uint64_t address) {
    return address >= 0x80000000u && address <= 0xBFFFFFFFu ? address & 0x1FFFFFFFu : address;
}

// Whether an ELF is for MIPS, whose KSEG0 and KSEG1 addresses stand for physical ones.
bool is_mips_elf(std::FILE* in);

} // namespace hexstamp::image
