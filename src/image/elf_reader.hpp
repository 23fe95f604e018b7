#pragma once

#include "image/report.hpp"

#include <cstddef>
#include <cstdint>
#include <cstdio>

// An ELF file's headers, sections and symbols, read and checked: one reader for the four kinds
// of ELF (32 or 64 bits, either byte order). Every offset and size is checked against the file
// before it is used, and each error names the field that is wrong.
namespace hexstamp::image::elf {

constexpr std::uint64_t Relocatable = 1; // e_type of an object file
constexpr std::uint64_t Mips = 8;        // e_machine
constexpr std::uint64_t LoadSegment = 1, WritableSegment = 2;
constexpr std::uint64_t AllocatedSection = 2;
constexpr std::uint64_t FirstReservedIndex = 0xFF00;

struct Segment {
    std::uint64_t type, offset, load_address, file_size, run_address, flags;
    bool loads() const { return type == LoadSegment; }
};

struct Section {
    std::uint64_t name, type, flags, address, offset, size, link, entry_size;
    bool has_contents() const;
    bool allocated() const { return (flags & AllocatedSection) != 0; }
};

// A field of an ELF structure: its offset and size in the 32-bit and in the 64-bit layout.
struct Field {
    std::uint8_t at32, size32, at64, size64;
};

struct Symbol {
    std::uint64_t value = 0, size = 0, section = 0;
};

class Reader {
  public:
    Reader(std::FILE* in, const Report& report) : in_(in), report_(report) {}

    // Reads the header and checks every table, segment and section against the file.
    bool open();
    std::uint64_t type() const { return type_; }
    std::uint64_t machine() const { return machine_; }
    std::uint64_t segment_count() const { return program_count_; }
    std::uint64_t section_count() const { return section_count_; }
    Segment segment(std::uint64_t index);
    Section section(std::uint64_t index);
    bool find_section(const char* name, Section& found, std::uint64_t& index);
    bool find_symbol(const char* name, Symbol& found);
    // The one sized symbol in section `index`, if there is exactly one.
    bool only_symbol_in(std::uint64_t index, Symbol& found);
    std::uint64_t size() const { return size_; }
    // Whether a malformed part of the file has been reported.
    bool failed() const { return failed_; }
    // Whether `length` bytes at `offset` reach into the ELF header or a header table.
    bool overlaps_headers(std::uint64_t offset, std::uint64_t length) const;

  private:
    // The symbol table (.symtab), with entries this reader can take.
    bool symbol_table(Section& table);
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

} // namespace hexstamp::image::elf
