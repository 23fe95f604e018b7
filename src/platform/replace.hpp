#pragma once

#include <string>

// Replacing a file by a new one written beside it, as git's lockfile does.
namespace hexstamp::platform {

// Part of a file name that no other process, and no earlier run, takes.
std::string unique_name_part();

// Gives the new file `temporary` the permission bits, and where the system allows the owner
// and group, of `model`, then renames it over `target`. False with the reason on failure.
bool replace_file(const char* temporary, const char* target, const char* model, std::string& why);

} // namespace hexstamp::platform
