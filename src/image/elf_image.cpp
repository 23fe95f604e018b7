#include "image/formats.hpp"

#include <cstring>

namespace hexstamp::image {

namespace {

// A field of an ELF structure: its offset and size in the 32-bit and in the 64-bit layout.
struct Field {
    std::uint8_t at32, size32, at64, size64;
};

namespace header {
constexpr Field Type{16, 2, 16, 2}, Machine{18, 2, 18, 2}, ProgramOffset{28, 4, 32, 8},
    SectionOffset{32, 4, 40, 8}, ProgramEntrySize{42, 2, 54, 2}, ProgramCount{44, 2, 56, 2},
    SectionEntrySize{46, 2, 58, 2}, SectionCount{48, 2, 60, 2}, NameSection{50, 2, 62, 2};
constexpr std::size_t Size32 = 52, Size64 = 64;
} // namespace header

namespace program {
constexpr Field Type{0, 4, 0, 4}, Offset{4, 4, 8, 8}, RunAddress{8, 4, 16, 8},
    LoadAddress{12, 4, 24, 8}, FileSize{16, 4, 32, 8}, Flags{24, 4, 4, 4};
constexpr std::size_t Size32 = 32, Size64 = 56;
constexpr std::uint64_t Load = 1, Writable = 2;
} // namespace program

namespace section {
constexpr Field Name{0, 4, 0, 4}, Type{4, 4, 4, 4}, Flags{8, 4, 8, 8}, Address{12, 4, 16, 8},
    Offset{16, 4, 24, 8}, Size{20, 4, 32, 8}, Link{24, 4, 40, 4}, EntrySize{36, 4, 56, 8};
constexpr std::size_t Size32 = 40, Size64 = 64;
constexpr std::uint64_t SymbolTable = 2, NoBits = 8, Allocated = 2;
} // namespace section

namespace symbol {
constexpr Field Name{0, 4, 0, 4}, Value{4, 4, 8, 8}, Size{8, 4, 16, 8}, SectionIndex{14, 2, 6, 2};
constexpr std::size_t Size32 = 16, Size64 = 24;
constexpr std::uint64_t Undefined = 0, FirstReserved = 0xFF00;
} // namespace symbol

constexpr std::uint64_t Relocatable = 1;
constexpr std::size_t LargestEntry = 64;

struct Segment {
    std::uint64_t type, offset, load_address, file_size, run_address, flags;
};

struct Section {
    std::uint64_t name, type, flags, address, offset, size, link, entry_size;
    bool has_contents() const { return type != section::NoBits && type != 0; }
};

// One reader for the four kinds of ELF: 32 or 64 bits, either byte order. Every offset and
// size is checked against the file before it is used.
class Elf {
  public:
    Elf(std::FILE* in, const Report& report) : in_(in), report_(report) {}

    bool open();
    std::uint64_t type() const { return type_; }
    std::uint64_t machine() const { return machine_; }
    std::uint64_t segment_count() const { return program_count_; }
    std::uint64_t section_count() const { return section_count_; }
    Segment segment(std::uint64_t index);
    Section section(std::uint64_t index);
    bool find_section(const char* name, Section& found, std::uint64_t& index);
    bool find_symbol(const char* name, std::uint64_t& value, std::uint64_t& size,
                     std::uint64_t& section_index);
    // The symbol table (.symtab), with entries this reader can take.
    bool symbol_table(Section& table);
    // The one sized symbol in section `index`, if there is exactly one.
    bool only_symbol_in(std::uint64_t index, std::uint64_t& value, std::uint64_t& size);
    std::uint64_t size() const { return size_; }
    // Whether a malformed part of the file has been reported.
    bool failed() const { return failed_; }
    // Whether `length` bytes at `offset` reach into the ELF header or a header table.
    bool overlaps_headers(std::uint64_t offset, std::uint64_t length) const;

  private:
    // Whether the section's name, from the section name table, is `name`.
    bool section_named(const Section& entry, const char* name);
    bool read_name(std::uint64_t table_offset, std::uint64_t table_size, std::uint64_t at,
                   const char* name, bool& equal);
    std::uint64_t get(const std::uint8_t* bytes, Field field) const;
    bool read_entry(std::uint64_t table, std::uint64_t entry_size, std::uint64_t index,
                    std::uint8_t* bytes);
    bool check_table(const char* what, std::uint64_t offset, std::uint64_t count,
                     std::uint64_t entry_size, std::size_t least);
    bool check_extent(const char* what, std::uint64_t index, std::uint64_t offset,
                      std::uint64_t size);
    bool check_contents();

    std::FILE* in_;
    const Report& report_;
    std::uint64_t size_ = 0;
    bool wide_ = false;
    bool big_ = false;
    std::uint64_t type_ = 0;
    std::uint64_t machine_ = 0;
    std::uint64_t program_offset_ = 0, program_entry_ = 0, program_count_ = 0;
    std::uint64_t section_offset_ = 0, section_entry_ = 0, section_count_ = 0, names_ = 0;
    bool failed_ = false;
};

std::uint64_t Elf::get(const std::uint8_t* bytes, Field field) const {
    const std::uint8_t* at = bytes + (wide_ ? field.at64 : field.at32);
    const std::size_t size = wide_ ? field.size64 : field.size32;
    std::uint64_t value = 0;
    for (std::size_t index = 0; index < size; ++index) {
        const std::uint8_t byte = at[big_ ? index : size - 1 - index];
        value = value << 8u | byte;
    }
    return value;
}

bool Elf::check_table(const char* what, std::uint64_t offset, std::uint64_t count,
                      std::uint64_t entry_size, std::size_t least) {
    if (count == 0) {
        return true;
    }
    if (entry_size < least || entry_size > 0xFFFF) {
        report_.error(0, "%s entries of %llu bytes; they need %zu", what,
                      static_cast<unsigned long long>(entry_size), least);
        return false;
    }
    // count and entry size are below 2^32 and 2^16: no overflow.
    if (offset > size_ || count * entry_size > size_ - offset) {
        report_.error(0,
                      "the %s (%llu entries of %llu bytes at 0x%llX) lies outside the file "
                      "(%llu bytes)",
                      what, static_cast<unsigned long long>(count),
                      static_cast<unsigned long long>(entry_size),
                      static_cast<unsigned long long>(offset),
                      static_cast<unsigned long long>(size_));
        return false;
    }
    return true;
}

bool Elf::read_entry(std::uint64_t table, std::uint64_t entry_size, std::uint64_t index,
                     std::uint8_t* bytes) {
    std::memset(bytes, 0, LargestEntry);
    const std::size_t wanted =
        static_cast<std::size_t>(std::min<std::uint64_t>(entry_size, LargestEntry));
    if (!read_at(in_, table + index * entry_size, bytes, wanted)) {
        if (!failed_) {
            report_.error(0, "cannot read the file at 0x%llX",
                          static_cast<unsigned long long>(table + index * entry_size));
        }
        failed_ = true;
    }
    return !failed_;
}

Segment Elf::segment(std::uint64_t index) {
    std::uint8_t bytes[LargestEntry];
    read_entry(program_offset_, program_entry_, index, bytes);
    return {get(bytes, program::Type),        get(bytes, program::Offset),
            get(bytes, program::LoadAddress), get(bytes, program::FileSize),
            get(bytes, program::RunAddress),  get(bytes, program::Flags)};
}

Section Elf::section(std::uint64_t index) {
    std::uint8_t bytes[LargestEntry];
    read_entry(section_offset_, section_entry_, index, bytes);
    return {get(bytes, section::Name),    get(bytes, section::Type),     get(bytes, section::Flags),
            get(bytes, section::Address), get(bytes, section::Offset),   get(bytes, section::Size),
            get(bytes, section::Link),    get(bytes, section::EntrySize)};
}

bool Elf::open() {
    std::uint8_t bytes[header::Size64] = {};
    if (!file_size(in_, report_, size_)) {
        return false;
    }
    const std::size_t present =
        static_cast<std::size_t>(std::min<std::uint64_t>(size_, sizeof bytes));
    if (size_ < 6 || !read_at(in_, 0, bytes, present)) {
        report_.error(0, "truncated ELF: %llu bytes", static_cast<unsigned long long>(size_));
        return false;
    }
    if ((bytes[4] != 1 && bytes[4] != 2) || (bytes[5] != 1 && bytes[5] != 2)) {
        report_.error(0, "an ELF of unknown class %u or byte order %u", unsigned{bytes[4]},
                      unsigned{bytes[5]});
        return false;
    }
    wide_ = bytes[4] == 2;
    big_ = bytes[5] == 2;
    const std::size_t header_size = wide_ ? header::Size64 : header::Size32;
    if (size_ < header_size) {
        report_.error(0, "truncated ELF: the header needs %zu bytes, the file has %llu",
                      header_size, static_cast<unsigned long long>(size_));
        return false;
    }
    type_ = get(bytes, header::Type);
    machine_ = get(bytes, header::Machine);
    program_offset_ = get(bytes, header::ProgramOffset);
    program_entry_ = get(bytes, header::ProgramEntrySize);
    program_count_ = get(bytes, header::ProgramCount);
    section_offset_ = get(bytes, header::SectionOffset);
    section_entry_ = get(bytes, header::SectionEntrySize);
    section_count_ = get(bytes, header::SectionCount);
    names_ = get(bytes, header::NameSection);
    bool ok = check_table("program header table", program_offset_, program_count_, program_entry_,
                          wide_ ? program::Size64 : program::Size32);
    ok = ok && check_table("section header table", section_offset_,
                           section_offset_ != 0 && section_count_ == 0 ? 1 : section_count_,
                           section_entry_, wide_ ? section::Size64 : section::Size32);
    // More sections than the header can count: section 0 holds the count and the index of
    // the name table.
    if (ok && section_offset_ != 0 && (section_count_ == 0 || names_ == 0xFFFF)) {
        const Section first = section(0);
        section_count_ = section_count_ == 0 ? first.size : section_count_;
        names_ = names_ == 0xFFFF ? first.link : names_;
        ok = !failed_ && check_table("section header table", section_offset_, section_count_,
                                     section_entry_, wide_ ? section::Size64 : section::Size32);
    }
    return ok && check_contents();
}

bool Elf::check_extent(const char* what, std::uint64_t index, std::uint64_t offset,
                       std::uint64_t size) {
    if (offset <= size_ && size <= size_ - offset) {
        return true;
    }
    report_.error(
        0, "%s %llu: its data (0x%llX bytes at 0x%llX) lies outside the file (%llu bytes)", what,
        static_cast<unsigned long long>(index), static_cast<unsigned long long>(size),
        static_cast<unsigned long long>(offset), static_cast<unsigned long long>(size_));
    return false;
}

// Every segment's and section's data must lie within the file.
bool Elf::check_contents() {
    bool ok = true;
    for (std::uint64_t index = 0; ok && index < program_count_ && !failed_; ++index) {
        const Segment entry = segment(index);
        ok = check_extent("program header", index, entry.offset, entry.file_size);
    }
    for (std::uint64_t index = 0; ok && index < section_count_ && !failed_; ++index) {
        const Section entry = section(index);
        ok = !entry.has_contents() ||
             check_extent("section header", index, entry.offset, entry.size);
    }
    if (!ok) {
        return false;
    }
    if (section_count_ > 0 && names_ >= section_count_) {
        report_.error(0, "the section name table is section %llu of %llu",
                      static_cast<unsigned long long>(names_),
                      static_cast<unsigned long long>(section_count_));
        return false;
    }
    return !failed_;
}

bool Elf::overlaps_headers(std::uint64_t offset, std::uint64_t length) const {
    const struct {
        std::uint64_t start, size;
    } headers[] = {{0, wide_ ? header::Size64 : header::Size32},
                   {program_offset_, program_count_ * program_entry_},
                   {section_offset_, section_count_ * section_entry_}};
    for (const auto& header : headers) {
        if (header.size > 0 && offset < header.start + header.size &&
            header.start < offset + length) {
            return true;
        }
    }
    return false;
}

// Compares the NUL-terminated string at `at` in a string table with `name`.
bool Elf::read_name(std::uint64_t table_offset, std::uint64_t table_size, std::uint64_t at,
                    const char* name, bool& equal) {
    if (at >= table_size) {
        report_.error(0, "a name at 0x%llX lies outside its string table (%llu bytes)",
                      static_cast<unsigned long long>(at),
                      static_cast<unsigned long long>(table_size));
        failed_ = true;
        return false;
    }
    char text[256];
    const std::size_t wanted = std::strlen(name) + 1;
    equal = false;
    if (wanted > sizeof text || wanted > table_size - at) {
        return true;
    }
    if (!read_at(in_, table_offset + at, text, wanted)) {
        report_.error(0, "cannot read a name at 0x%llX",
                      static_cast<unsigned long long>(table_offset + at));
        failed_ = true;
        return false;
    }
    equal = std::memcmp(text, name, wanted) == 0;
    return true;
}

bool Elf::section_named(const Section& entry, const char* name) {
    const Section names = section(names_);
    bool equal = false;
    return !failed_ && read_name(names.offset, names.size, entry.name, name, equal) && equal;
}

bool Elf::find_section(const char* name, Section& found, std::uint64_t& index) {
    for (index = 0; index < section_count_ && !failed_; ++index) {
        found = section(index);
        if (section_named(found, name)) {
            return true;
        }
    }
    return false;
}

bool Elf::symbol_table(Section& table) {
    std::uint64_t index = 0;
    while (index < section_count_ && table.type != section::SymbolTable && !failed_) {
        table = section(index++);
    }
    const std::size_t least = wide_ ? symbol::Size64 : symbol::Size32;
    return table.type == section::SymbolTable && table.link < section_count_ &&
           table.entry_size >= least && table.entry_size <= LargestEntry;
}

bool Elf::find_symbol(const char* name, std::uint64_t& value, std::uint64_t& size,
                      std::uint64_t& section_index) {
    Section table{};
    if (!symbol_table(table)) {
        report_.error(0, "no symbol table (.symtab) to find %s in; was the file stripped?", name);
        return false;
    }
    const Section strings = section(table.link);
    bool found = false;
    for (std::uint64_t index = 0; index < table.size / table.entry_size && !failed_; ++index) {
        std::uint8_t bytes[LargestEntry];
        bool equal = false;
        if (!read_entry(table.offset, table.entry_size, index, bytes) ||
            !read_name(strings.offset, strings.size, get(bytes, symbol::Name), name, equal)) {
            return false;
        }
        const std::uint64_t shndx = get(bytes, symbol::SectionIndex);
        if (!equal || shndx == symbol::Undefined) {
            continue;
        }
        if (found && (value != get(bytes, symbol::Value) || size != get(bytes, symbol::Size))) {
            report_.error(0, "symbol %s is defined more than once, at 0x%llX and 0x%llX", name,
                          static_cast<unsigned long long>(value),
                          static_cast<unsigned long long>(get(bytes, symbol::Value)));
            return false;
        }
        found = true;
        value = get(bytes, symbol::Value);
        size = get(bytes, symbol::Size);
        section_index = shndx;
    }
    if (!found && !failed_) {
        report_.error(0, "no symbol %s in the symbol table", name);
    }
    return found && !failed_;
}

bool Elf::only_symbol_in(std::uint64_t index, std::uint64_t& value, std::uint64_t& size) {
    Section table{};
    if (!symbol_table(table)) {
        return false;
    }
    int found = 0;
    for (std::uint64_t entry = 0; entry < table.size / table.entry_size && found < 2; ++entry) {
        std::uint8_t bytes[LargestEntry];
        if (!read_entry(table.offset, table.entry_size, entry, bytes)) {
            return false;
        }
        if (get(bytes, symbol::SectionIndex) == index && get(bytes, symbol::Size) > 0) {
            value = get(bytes, symbol::Value);
            size = get(bytes, symbol::Size);
            ++found;
        }
    }
    return found == 1;
}

// The load address of `size` bytes at file offset `offset`: where the loadable segment that
// holds them is loaded, or, in a file without one, where the section says.
bool load_address(Elf& elf, std::uint64_t offset, std::uint64_t size, std::uint64_t fallback,
                  std::uint64_t& address) {
    address = fallback;
    for (std::uint64_t index = 0; index < elf.segment_count(); ++index) {
        const Segment entry = elf.segment(index);
        if (entry.type == program::Load && offset >= entry.offset &&
            offset + size <= entry.offset + entry.file_size) {
            address = entry.load_address + (offset - entry.offset);
            break;
        }
    }
    return true;
}

bool check_size(const Report& report, const char* what, const char* name, std::uint64_t size) {
    if (size < 1 || size > MaxStampLength) {
        report.error(0, "%s %s holds %llu bytes, but a stamp holds 1 to %zu", what, name,
                     static_cast<unsigned long long>(size), MaxStampLength);
        return false;
    }
    return true;
}

bool section_place(Elf& elf, const char* name, std::uint64_t& offset, std::uint64_t& size,
                   std::uint64_t& address, const Report& report, const char* fallback = nullptr) {
    Section found{};
    std::uint64_t index = 0;
    if (!elf.find_section(name, found, index)) {
        if (elf.failed()) {
            return false;
        }
        report.error(0,
                     "no section %s%s%s%s. Declare the stamp with HEXSTAMP_DEFINE(name, length) "
                     "from <hexstamp/stamp.h>, which puts it in .hexstamp, and keep it in the "
                     "linker script with KEEP(*(.hexstamp)); or give --symbol",
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
    offset = found.offset;
    size = found.size;
    address = found.address;
    // An assembler that pads the section to its alignment (every MIPS one did, before the
    // header aligned the stamp to 1) makes it longer than the stamp: the one symbol in it is.
    std::uint64_t value = 0;
    std::uint64_t symbol_size = 0;
    if (elf.type() != Relocatable && elf.only_symbol_in(index, value, symbol_size) &&
        symbol_size < size && value >= found.address && value - found.address < size &&
        symbol_size <= size - (value - found.address)) {
        offset += value - found.address;
        address = value;
        size = symbol_size;
    }
    return check_size(report, "section", name, size);
}

bool symbol_place(Elf& elf, const char* name, std::uint64_t& offset, std::uint64_t& size,
                  std::uint64_t& address, const Report& report) {
    std::uint64_t value = 0;
    std::uint64_t index = 0;
    if (!elf.find_symbol(name, value, size, index) || !check_size(report, "symbol", name, size)) {
        return false;
    }
    if (index >= symbol::FirstReserved || index >= elf.section_count()) {
        report.error(0, "symbol %s is not in a section of the file (section index 0x%llX)", name,
                     static_cast<unsigned long long>(index));
        return false;
    }
    const Section home = elf.section(index);
    // In an object file a symbol's value is its offset in its section.
    const std::uint64_t start = elf.type() == Relocatable ? home.address + value : value;
    if (!home.has_contents()) {
        report.error(0,
                     "symbol %s lies in a section with no contents in the file (NOBITS, as "
                     ".bss), but a stamp must be initialized data",
                     name);
        return false;
    }
    if (start < home.address || start - home.address > home.size ||
        size > home.size - (start - home.address)) {
        report.error(0, "symbol %s (0x%llX, %llu bytes) lies outside its section", name,
                     static_cast<unsigned long long>(value), static_cast<unsigned long long>(size));
        return false;
    }
    offset = home.offset + (start - home.address);
    address = start;
    return true;
}

enum class Placement { Found, Nowhere, Ambiguous };

// Where the range lies in the file: in the data of the loadable segment loaded there or,
// in a file without segments, of the section placed there. Segments that overlap and place it
// at two different offsets make it ambiguous, which is reported.
Placement locate(Elf& elf, const Range& range, std::uint64_t& offset, const Report& report) {
    Placement placement = Placement::Nowhere;
    for (std::uint64_t index = 0; index < elf.segment_count(); ++index) {
        const Segment entry = elf.segment(index);
        const std::uint64_t at = entry.offset + (range.first - entry.load_address);
        if (entry.type != program::Load || range.first < entry.load_address ||
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
    for (std::uint64_t index = 0;
         elf.segment_count() == 0 && index < elf.section_count() && placement == Placement::Nowhere;
         ++index) {
        const Section entry = elf.section(index);
        if (entry.has_contents() && (entry.flags & section::Allocated) != 0 &&
            range.first >= entry.address && range.last - entry.address < entry.size) {
            offset = entry.offset + (range.first - entry.address);
            placement = Placement::Found;
        }
    }
    return placement;
}

// What a programmer writes: each section with contents that a loadable segment loads, at its
// load address, as a HEX file made from the ELF holds them; whatever the segment's flags say.
// The stamp's own section is writable, and so is a vector table declared without const, and
// linkers put both into one segment with the code in flash. Bytes between sections are
// padding that no HEX file holds. Without section headers, the segments' file bytes.
bool add_segments(Elf& elf, std::FILE* in, Contents& contents, const Report& report) {
    for (std::uint64_t index = 0; index < elf.section_count() && !elf.failed(); ++index) {
        const Section entry = elf.section(index);
        if (!entry.has_contents() || (entry.flags & section::Allocated) == 0 || entry.size == 0) {
            continue;
        }
        for (std::uint64_t at = 0; at < elf.segment_count(); ++at) {
            const Segment segment = elf.segment(at);
            if (segment.type != program::Load || entry.offset < segment.offset ||
                entry.offset - segment.offset >= segment.file_size ||
                entry.size > segment.file_size - (entry.offset - segment.offset)) {
                continue;
            }
            const bool may_be_ram = (segment.flags & program::Writable) != 0 &&
                                    segment.run_address == segment.load_address;
            if (!add_file_bytes(in, entry.offset, entry.size,
                                segment.load_address + (entry.offset - segment.offset), may_be_ram,
                                contents, report)) {
                return false;
            }
            break;
        }
    }
    for (std::uint64_t index = 0; elf.section_count() == 0 && index < elf.segment_count();
         ++index) {
        const Segment entry = elf.segment(index);
        const bool may_be_ram =
            (entry.flags & program::Writable) != 0 && entry.run_address == entry.load_address;
        if (entry.type == program::Load && entry.file_size > 0 &&
            !add_file_bytes(in, entry.offset, entry.file_size, entry.load_address, may_be_ram,
                            contents, report)) {
            return false;
        }
    }
    return !elf.failed();
}

} // namespace

bool find_in_elf(std::FILE* in, const ElfPlace& place, Range& range, std::uint64_t& offset,
                 const Report& report) {
    Elf elf(in, report);
    std::uint64_t size = 0;
    std::uint64_t address = 0;
    bool place_found = false;
    const char* name = place.symbol != nullptr ? place.symbol : place.section;
    bool ok = elf.open();
    if (ok && place.symbol == nullptr && place.fallback_symbol != nullptr) {
        // Asked quietly: an ELF with neither is reported as one without the section.
        const Report quiet{nullptr, report.file};
        Elf asked(in, quiet);
        Section found{};
        std::uint64_t index = 0;
        if (asked.open() && !asked.find_section(place.section, found, index) &&
            symbol_place(asked, place.fallback_symbol, offset, size, address, quiet)) {
            name = place.fallback_symbol;
            place_found = true;
        }
    }
    ok = ok && (place_found || (place.symbol != nullptr
                                    ? symbol_place(elf, place.symbol, offset, size, address, report)
                                    : section_place(elf, place.section, offset, size, address,
                                                    report, place.fallback_symbol)));
    ok = ok && load_address(elf, offset, size, address, address);
    if (ok && address + size - 1 > 0xFFFFFFFFu) {
        report.error(0, "%s lies at 0x%llX, above 0xFFFFFFFF", name,
                     static_cast<unsigned long long>(address));
        ok = false;
    }
    if (ok) {
        range.first = static_cast<std::uint32_t>(address);
        range.last = static_cast<std::uint32_t>(address + size - 1);
    }
    return ok;
}

bool is_mips_elf(std::FILE* in) {
    const Report quiet{nullptr, ""};
    Elf elf(in, quiet);
    constexpr std::uint64_t Mips = 8;
    return elf.open() && elf.machine() == Mips;
}

bool process_elf(std::FILE* in, std::FILE* out, Patch& patch, const std::uint64_t* known_offset,
                 const Report& report) {
    Elf elf(in, report);
    std::uint64_t offset = known_offset != nullptr ? *known_offset : 0;
    if (!elf.open() ||
        (patch.contents != nullptr && !add_segments(elf, in, *patch.contents, report))) {
        return false;
    }
    const Placement placement =
        known_offset != nullptr ? Placement::Found : locate(elf, patch.range, offset, report);
    if (placement == Placement::Nowhere && out != nullptr) {
        report.error(0, "0x%08X-0x%08X lies in no loadable segment's data in the file",
                     unsigned{patch.range.first}, unsigned{patch.range.last});
    }
    if (placement != Placement::Found) {
        // For show, a range in no segment is a range whose bytes are missing.
        return placement == Placement::Nowhere && out == nullptr;
    }
    if (out != nullptr && elf.overlaps_headers(offset, patch.range.length())) {
        report.error(0, "0x%08X-0x%08X would overwrite the ELF's own headers",
                     unsigned{patch.range.first}, unsigned{patch.range.last});
        return false;
    }
    return copy_patched(in, elf.size(), offset, out, patch, report);
}

} // namespace hexstamp::image
