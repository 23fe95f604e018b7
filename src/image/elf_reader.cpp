#include "image/elf_reader.hpp"

#include "image/file_access.hpp"

#include <algorithm>
#include <cstring>

namespace hexstamp::image::elf {

namespace {

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
} // namespace program

namespace section {
constexpr Field Name{0, 4, 0, 4}, Type{4, 4, 4, 4}, Flags{8, 4, 8, 8}, Address{12, 4, 16, 8},
    Offset{16, 4, 24, 8}, Size{20, 4, 32, 8}, Link{24, 4, 40, 4}, EntrySize{36, 4, 56, 8};
constexpr std::size_t Size32 = 40, Size64 = 64;
constexpr std::uint64_t SymbolTable = 2, NoBits = 8;
} // namespace section

namespace symbol {
constexpr Field Name{0, 4, 0, 4}, Value{4, 4, 8, 8}, Size{8, 4, 16, 8}, SectionIndex{14, 2, 6, 2};
constexpr std::size_t Size32 = 16, Size64 = 24;
constexpr std::uint64_t Undefined = 0;
} // namespace symbol

constexpr std::size_t LargestEntry = 64;

} // namespace

bool Section::has_contents() const {
    return type != section::NoBits && type != 0;
}

std::uint64_t Reader::get(const std::uint8_t* bytes, Field field) const {
    const std::uint8_t* at = bytes + (wide_ ? field.at64 : field.at32);
    const std::size_t size = wide_ ? field.size64 : field.size32;
    std::uint64_t value = 0;
    for (std::size_t index = 0; index < size; ++index) {
        const std::uint8_t byte = at[big_ ? index : size - 1 - index];
        value = value << 8u | byte;
    }
    return value;
}

bool Reader::check_table(const char* what, std::uint64_t offset, std::uint64_t count,
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

bool Reader::read_entry(std::uint64_t table, std::uint64_t entry_size, std::uint64_t index,
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

Segment Reader::segment(std::uint64_t index) {
    std::uint8_t bytes[LargestEntry];
    read_entry(program_offset_, program_entry_, index, bytes);
    return {get(bytes, program::Type),        get(bytes, program::Offset),
            get(bytes, program::LoadAddress), get(bytes, program::FileSize),
            get(bytes, program::RunAddress),  get(bytes, program::Flags)};
}

Section Reader::section(std::uint64_t index) {
    std::uint8_t bytes[LargestEntry];
    read_entry(section_offset_, section_entry_, index, bytes);
    return {get(bytes, section::Name),    get(bytes, section::Type),     get(bytes, section::Flags),
            get(bytes, section::Address), get(bytes, section::Offset),   get(bytes, section::Size),
            get(bytes, section::Link),    get(bytes, section::EntrySize)};
}

bool Reader::open() {
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

bool Reader::check_extent(const char* what, std::uint64_t index, std::uint64_t offset,
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
bool Reader::check_contents() {
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

bool Reader::overlaps_headers(std::uint64_t offset, std::uint64_t length) const {
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
bool Reader::read_name(std::uint64_t table_offset, std::uint64_t table_size, std::uint64_t at,
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

bool Reader::section_named(const Section& entry, const char* name) {
    const Section names = section(names_);
    bool equal = false;
    return !failed_ && read_name(names.offset, names.size, entry.name, name, equal) && equal;
}

bool Reader::find_section(const char* name, Section& found, std::uint64_t& index) {
    for (index = 0; index < section_count_ && !failed_; ++index) {
        found = section(index);
        if (section_named(found, name)) {
            return true;
        }
    }
    return false;
}

bool Reader::symbol_table(Section& table) {
    std::uint64_t index = 0;
    while (index < section_count_ && table.type != section::SymbolTable && !failed_) {
        table = section(index++);
    }
    const std::size_t least = wide_ ? symbol::Size64 : symbol::Size32;
    return table.type == section::SymbolTable && table.link < section_count_ &&
           table.entry_size >= least && table.entry_size <= LargestEntry;
}

bool Reader::find_symbol(const char* name, Symbol& symbol_found) {
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
        const Symbol entry{get(bytes, symbol::Value), get(bytes, symbol::Size), shndx};
        if (found && (symbol_found.value != entry.value || symbol_found.size != entry.size)) {
            report_.error(0, "symbol %s is defined more than once, at 0x%llX and 0x%llX", name,
                          static_cast<unsigned long long>(symbol_found.value),
                          static_cast<unsigned long long>(entry.value));
            return false;
        }
        found = true;
        symbol_found = entry;
    }
    if (!found && !failed_) {
        report_.error(0, "no symbol %s in the symbol table", name);
    }
    return found && !failed_;
}

bool Reader::only_symbol_in(std::uint64_t index, Symbol& only) {
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
            only = {get(bytes, symbol::Value), get(bytes, symbol::Size), index};
            ++found;
        }
    }
    return found == 1;
}

} // namespace hexstamp::image::elf
