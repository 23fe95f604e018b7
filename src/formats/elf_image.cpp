#include "formats/elf_image.hpp"

#include "formats/format.hpp"
#include "image/elf_reader.hpp"
#include "image/file_access.hpp"

#include <cstring>

// ELF files (GCC and Clang, Keil's .axf, IAR's .out): the stamp is written where a symbol or
// a section lies in the file, and a board or another image holds what the loadable segments
// load.
namespace hexstamp::image {

namespace {

using elf::Reader;
using elf::Section;
using elf::Segment;

// Where a stamp lies: in the file, how long, and at which address.
struct Place {
    std::uint64_t offset = 0, size = 0, address = 0;
};

// The load address of a place: where the loadable segment that holds it is loaded, or, in a
// file without one, where the section says.
void load_address(Reader& reader, Place& place) {
    for (std::uint64_t index = 0; index < reader.segment_count(); ++index) {
        const Segment entry = reader.segment(index);
        if (entry.loads() && place.offset >= entry.offset &&
            place.offset + place.size <= entry.offset + entry.file_size) {
            place.address = entry.load_address + (place.offset - entry.offset);
            return;
        }
    }
}

bool check_size(const Report& report, const char* what, const char* name, std::uint64_t size) {
    if (size < 1 || size > MaxStampLength) {
        report.error(0, "%s %s holds %llu bytes, but a stamp holds 1 to %zu", what, name,
                     static_cast<unsigned long long>(size), MaxStampLength);
        return false;
    }
    return true;
}

// An assembler that pads a section to its alignment (every MIPS one did, before the header
// aligned the stamp to 1) makes it longer than the stamp: the one symbol in it is the stamp.
void narrow_to_only_symbol(Reader& reader, const Section& section, std::uint64_t index,
                           Place& place) {
    elf::Symbol only;
    if (reader.type() != elf::Relocatable && reader.only_symbol_in(index, only) &&
        only.size < place.size && only.value >= section.address &&
        only.value - section.address < place.size &&
        only.size <= place.size - (only.value - section.address)) {
        place.offset += only.value - section.address;
        place.address = only.value;
        place.size = only.size;
    }
}

bool section_place(Reader& reader, const char* name, Place& place, const Report& report,
                   const char* fallback = nullptr) {
    Section found{};
    std::uint64_t index = 0;
    if (!reader.find_section(name, found, index)) {
        if (reader.failed()) {
            return false;
        }
        report.error(0,
                     "no section %s%s%s%s. Declare the stamp with HEXSTAMP_DEFINE(name, length) "
                     "from <hexstamp/stamp.h>, which puts it in .hexstamp; where the firmware "
                     "declares it, nothing refers to it and the linker dropped it (--gc-sections): "
                     "keep it with KEEP(*(.hexstamp)) in the linker script, or link with "
                     "-Wl,--undefined=NAME. Or give --symbol",
                     name, fallback != nullptr ? " (nor, as on AVR, the symbol " : "",
                     fallback != nullptr ? fallback : "", fallback != nullptr ? ")" : "");
        return false;
    }
    if (!found.has_contents()) {
        report.error(0,
                     "section %s has no contents in the file (NOBITS, as .bss), but a stamp "
                     "must be initialized data, as HEXSTAMP_DEFINE declares it",
                     name);
        return false;
    }
    place = {found.offset, found.size, found.address};
    narrow_to_only_symbol(reader, found, index, place);
    return check_size(report, "section", name, place.size);
}

bool symbol_place(Reader& reader, const char* name, Place& place, const Report& report) {
    elf::Symbol symbol;
    if (!reader.find_symbol(name, symbol) || !check_size(report, "symbol", name, symbol.size)) {
        return false;
    }
    if (symbol.section >= elf::FirstReservedIndex || symbol.section >= reader.section_count()) {
        report.error(0, "symbol %s is not in a section of the file (section index 0x%llX)", name,
                     static_cast<unsigned long long>(symbol.section));
        return false;
    }
    const Section home = reader.section(symbol.section);
    // In an object file a symbol's value is its offset in its section.
    const std::uint64_t start =
        reader.type() == elf::Relocatable ? home.address + symbol.value : symbol.value;
    if (!home.has_contents()) {
        report.error(0,
                     "symbol %s lies in a section with no contents in the file (NOBITS, as "
                     ".bss), but a stamp must be initialized data",
                     name);
        return false;
    }
    if (start < home.address || start - home.address > home.size ||
        symbol.size > home.size - (start - home.address)) {
        report.error(0, "symbol %s (0x%llX, %llu bytes) lies outside its section", name,
                     static_cast<unsigned long long>(symbol.value),
                     static_cast<unsigned long long>(symbol.size));
        return false;
    }
    place = {home.offset + (start - home.address), symbol.size, start};
    return true;
}

// Without the section, the fallback symbol, asked quietly: an ELF with neither is reported
// as one without the section.
bool fallback_place(std::FILE* in, const ElfPlace& wanted, Place& place, const Report& report) {
    const Report quiet{nullptr, report.file};
    Reader asked(in, quiet);
    Section found{};
    std::uint64_t index = 0;
    return wanted.symbol == nullptr && wanted.fallback_symbol != nullptr && asked.open() &&
           !asked.find_section(wanted.section, found, index) &&
           symbol_place(asked, wanted.fallback_symbol, place, quiet);
}

enum class Placement { Found, Nowhere, Ambiguous };

// Where the range lies in the file: in the data of the loadable segment loaded there or,
// in a file without segments, of the section placed there. Segments that overlap and place it
// at two different offsets make it ambiguous, which is reported.
Placement locate(Reader& reader, const Range& range, std::uint64_t& offset, const Report& report) {
    Placement placement = Placement::Nowhere;
    for (std::uint64_t index = 0; index < reader.segment_count(); ++index) {
        const Segment entry = reader.segment(index);
        const std::uint64_t at = entry.offset + (range.first - entry.load_address);
        if (!entry.loads() || range.first < entry.load_address ||
            range.last - entry.load_address >= entry.file_size ||
            (placement == Placement::Found && at == offset)) {
            continue;
        }
        if (placement == Placement::Found) {
            report.error(0,
                         "0x%08X-0x%08X lies in two loadable segments, at file offsets "
                         "0x%llX and 0x%llX; give the stamp by --symbol or --section",
                         unsigned{range.first}, unsigned{range.last},
                         static_cast<unsigned long long>(offset),
                         static_cast<unsigned long long>(at));
            return Placement::Ambiguous;
        }
        offset = at;
        placement = Placement::Found;
    }
    for (std::uint64_t index = 0; reader.segment_count() == 0 && index < reader.section_count() &&
                                  placement == Placement::Nowhere;
         ++index) {
        const Section entry = reader.section(index);
        if (entry.has_contents() && entry.allocated() && range.first >= entry.address &&
            range.last - entry.address < entry.size) {
            offset = entry.offset + (range.first - entry.address);
            placement = Placement::Found;
        }
    }
    return placement;
}

bool may_be_ram(const Segment& segment) {
    return (segment.flags & elf::WritableSegment) != 0 &&
           segment.run_address == segment.load_address;
}

// What a programmer writes: each section with contents that a loadable segment loads, at its
// load address, as a HEX file made from the ELF holds them; whatever the segment's flags say.
// The stamp's own section is writable, and so is a vector table declared without const, and
// linkers put both into one segment with the code in flash. Bytes between sections are
// padding that no HEX file holds. Without section headers, the segments' file bytes.
bool add_segments(Reader& reader, std::FILE* in, Contents& contents) {
    for (std::uint64_t index = 0; index < reader.section_count() && !reader.failed(); ++index) {
        const Section entry = reader.section(index);
        if (!entry.has_contents() || !entry.allocated() || entry.size == 0) {
            continue;
        }
        for (std::uint64_t at = 0; at < reader.segment_count(); ++at) {
            const Segment segment = reader.segment(at);
            if (!segment.loads() || entry.offset < segment.offset ||
                entry.offset - segment.offset >= segment.file_size ||
                entry.size > segment.file_size - (entry.offset - segment.offset)) {
                continue;
            }
            contents.add_file(segment.load_address + (entry.offset - segment.offset), in,
                              entry.offset, entry.size, may_be_ram(segment));
            break;
        }
    }
    for (std::uint64_t index = 0; reader.section_count() == 0 && index < reader.segment_count();
         ++index) {
        const Segment entry = reader.segment(index);
        if (entry.loads()) {
            contents.add_file(entry.load_address, in, entry.offset, entry.file_size,
                              may_be_ram(entry));
        }
    }
    return !reader.failed();
}

bool process(const Job& job) {
    Reader reader(job.in, job.report);
    const Range& range = job.patch.range;
    std::uint64_t offset = job.parameters.elf_offset.value_or(0);
    if (!reader.open() ||
        (job.patch.contents != nullptr && !add_segments(reader, job.in, *job.patch.contents))) {
        return false;
    }
    const Placement placement =
        job.parameters.elf_offset ? Placement::Found : locate(reader, range, offset, job.report);
    if (placement == Placement::Nowhere && job.out != nullptr) {
        job.report.error(0, "0x%08X-0x%08X lies in no loadable segment's data in the file",
                         unsigned{range.first}, unsigned{range.last});
    }
    if (placement != Placement::Found) {
        // For show, a range in no segment is a range whose bytes are missing.
        return placement == Placement::Nowhere && job.out == nullptr;
    }
    if (job.out != nullptr && reader.overlaps_headers(offset, range.length())) {
        job.report.error(0, "0x%08X-0x%08X would overwrite the ELF's own headers",
                         unsigned{range.first}, unsigned{range.last});
        return false;
    }
    return copy_patched(job.in, reader.size(), offset, job.out, job.patch, job.report);
}

bool is_elf(const Probe& probe) {
    return probe.read >= 4 && std::memcmp(probe.start,
                                          "\x7F"
                                          "ELF",
                                          4) == 0;
}

} // namespace

const Format ElfFormat{"ELF", false, false, is_elf, process, nullptr};

bool find_in_elf(std::FILE* in, const ElfPlace& wanted, ElfStamp& stamp, const Report& report) {
    Reader reader(in, report);
    Place place;
    const bool by_fallback = fallback_place(in, wanted, place, report);
    const char* name = by_fallback                ? wanted.fallback_symbol
                       : wanted.symbol != nullptr ? wanted.symbol
                                                  : wanted.section;
    bool ok = reader.open();
    ok = ok && (by_fallback ||
                (wanted.symbol != nullptr ? symbol_place(reader, wanted.symbol, place, report)
                                          : section_place(reader, wanted.section, place, report,
                                                          wanted.fallback_symbol)));
    if (ok) {
        load_address(reader, place);
    }
    if (ok && place.address + place.size - 1 > 0xFFFFFFFFu) {
        report.error(0, "%s lies at 0x%llX, above 0xFFFFFFFF", name,
                     static_cast<unsigned long long>(place.address));
        ok = false;
    }
    if (ok) {
        stamp.range.first = static_cast<std::uint32_t>(place.address);
        stamp.range.last = static_cast<std::uint32_t>(place.address + place.size - 1);
        stamp.offset = place.offset;
        stamp.mips = reader.machine() == elf::Mips;
    }
    return ok;
}

bool declares_stamp(std::FILE* in, const ElfPlace& place) {
    const Report quiet{nullptr, ""};
    Reader reader(in, quiet);
    Section section{};
    std::uint64_t index = 0;
    elf::Symbol symbol;
    const auto has_symbol = [&](const char* name) {
        return name != nullptr && (reader.find_symbol(name, symbol) || reader.failed());
    };
    return !reader.open() ||
           (place.symbol != nullptr ? has_symbol(place.symbol)
                                    : reader.find_section(place.section, section, index) ||
                                          reader.failed() || has_symbol(place.fallback_symbol));
}

bool is_mips_elf(std::FILE* in) {
    const Report quiet{nullptr, ""};
    Reader reader(in, quiet);
    return reader.open() && reader.machine() == elf::Mips;
}

} // namespace hexstamp::image
