#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

// Files by UTF-8 names and 64-bit offsets, on every system.
namespace hexstamp::platform {

// fopen for a UTF-8 file name.
std::FILE* open_file(const char* path, const char* mode);
// Like fopen's "wbx": creates a new file, failing with EEXIST if one has the name. On Windows
// it is shared for deletion, so that an interrupt may remove it while it is being written.
std::FILE* create_file(const char* path);
bool remove_file(const char* path);

// Seeks to a 64-bit offset; tells a file's size (leaving it at its start).
bool seek(std::FILE* file, std::uint64_t offset);
bool size_of(std::FILE* file, std::uint64_t& size);

// Whether the user could open an existing file for writing. False with the reason when not;
// true also when there is no such file (creating it is checked when it happens).
bool may_write(const char* path, std::string& why);

// Whether the stream is a terminal, where a line may be rewritten in place.
bool is_terminal(std::FILE* stream);

// The file a path leads to, through any symbolic links; the path itself when it names no
// file yet.
std::string real_path(const char* path);

} // namespace hexstamp::platform
