#pragma once

#include "image/checks.hpp"
#include "image/patch.hpp"
#include "image/report.hpp"

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>

// The image formats: one file each, and one row each in the table that tells them apart.
namespace hexstamp::image {

// What telling a format sees of a file: its first bytes and its size. The file is at its
// start, and is left there.
struct Probe {
    std::FILE* in;
    const char* path;
    const std::uint8_t* start;
    std::size_t read;
    std::uint64_t size;
};

// What only some formats take.
struct Parameters {
    std::uint32_t base = 0;                  // the address of a raw binary's first byte
    std::optional<std::uint64_t> elf_offset; // where an ELF holds the range, as it was found
};

// One image to process: read whole and checked, the bytes it holds in the range recorded in
// the patch and, with `out`, written there with the range's bytes replaced, any checksum over
// them made anew, and everything else as it was.
struct Job {
    std::FILE* in;
    std::FILE* out;
    Patch& patch;
    const Report& report;
    const Parameters& parameters;
    Checks* checks = nullptr; // verify IMAGE: the image's own checks, counted and not refused
};

// A row of the table.
struct Format {
    const char* name; // as messages name it: "Intel HEX", "an ESP-IDF app image"
    bool text;        // a text format, to which records holding the range may be added
    bool needs_base;  // the address of its first byte is not in the file (--base)
    bool (*recognise)(const Probe& probe); // null for the last row: what no other row takes
    bool (*process)(const Job& job);
    // For a file no row recognised: whether it starts as this format does, and why it is
    // none; null when nothing can start so. A text format's reason names the file and line.
    bool (*resembles)(const Probe& probe, std::string& why);
};

// The format of an open file, told by its content and not by its name; the file is left at its
// start. Null, with the reason reported, when it cannot be read.
const Format* detect_format(std::FILE* in, const Report& report);

// The format a file that no row recognised starts as, and why it is not one; null for none.
// The file is left at its start.
const Format* resemblance(std::FILE* in, const Report& report, std::string& why);

// The formats told by their content, as a message lists them: "ELF, Intel HEX, ... or an
// ESP-IDF app image".
std::string recognised_formats();

// An MCUboot image (Zephyr, nRF Connect SDK, Mynewt) inside an Intel HEX file: whether the four
// bytes at `at` are its magic number; and the image `contents` holds from `start`, if any, as
// the job sees it: with the range in its application, its hash made anew (an extra of the
// patch) when stamping; its version in the patch's identity; its hash among the job's checks.
// `holds` tells whether the image holds the range. False, reported, when the stamp may not go
// there: the range in its header or TLVs, a signed, encrypted or compressed image.
bool is_mcuboot_magic(const std::uint8_t* at);
bool examine_mcuboot(const Contents& contents, std::uint64_t start, const Job& job, bool& holds);

} // namespace hexstamp::image
