#pragma once

#include "board/target.hpp"
#include "image/patch.hpp"

#include <cstdint>
#include <cstdio>
#include <vector>

namespace hexstamp::image {

enum class Command { None, Stamp, Show, Verify, Help, Version };

// What the command line asks for, read and checked.
struct Options {
    Command command = Command::None;
    const char* first = nullptr;
    const char* last = nullptr;
    const char* section = nullptr;
    const char* symbol = nullptr;
    const char* base = nullptr;
    const char* output = nullptr;
    const char* target = nullptr;
    const char* timeout = nullptr;
    bool json = false;
    bool crc = false;
    bool if_declared = false; // an ELF that declares no stamp is left as it is, with status 0
    std::vector<const char*> excluded_text; // --exclude FIRST-LAST, as given
    std::vector<const char*> images;
    Target board;
    Range range;                 // with --first and --last
    std::vector<Range> excluded; // left out of verify's comparison
    std::uint32_t base_address = 0;
    unsigned timeout_seconds = 0; // 0: the default for the bytes to read
};

// Reads the arguments into `options` and checks that they go together; the status, with the
// reason on `err` when it is not ImageSuccess.
int read_options(int argc, const char* const* argv, Options& options, std::FILE* err);

// --help and --version, on `out`.
void print_help(std::FILE* out);
void print_version(std::FILE* out);

} // namespace hexstamp::image
