#pragma once

#include <cstdio>
#include <string>

// Replacing a file by a new one written beside it, as git's lockfile does.
namespace hexstamp::platform {

// Part of a file name that no other process, and no earlier run, takes: the process's number
// first, so that a later run can tell whether the process still runs.
std::string unique_name_part();

// The file a path leads to through any symbolic links, and whether it exists; one that does not
// is made in the folder its last link names. False, with why, when that is no regular file (a
// device, a FIFO, a terminal, a folder) or no folder holds it.
bool resolve_destination(const char* path, std::string& resolved, bool& exists, std::string& why);

// Gives the new file `temporary` what `model` has that the user may give it: the owner and group
// where the system allows, the permission bits and, when it replaces `model`, its access control
// lists and extended attributes. A permission is never widened. False with why.
bool take_attributes(const char* temporary, const char* model, bool replaces, std::string& why);

// Writes the file's data, and the folder that holds `path`, to the disk: after a power cut the
// new file is whole, and the rename stays done.
bool sync_file(std::FILE* file);
void sync_folder(const char* path);

// Renames `temporary` over `target`, keeping what `target` was under the name `backup` (a second
// link to it, or where a file system has none, the file itself renamed) until it is removed
// or restored. False with why; `target` is then as it was.
bool replace_keeping(const char* temporary, const char* target, const char* backup,
                     std::string& why);
// Puts the file kept as `backup` back at `target`.
bool restore_backup(const char* backup, const char* target, std::string& why);

// Removes the new files that runs ended without their own cleanup (SIGKILL, a power cut) left
// beside `target`: NAME.hexstamp-PID-N.tmp, where process PID no longer runs.
void remove_stale_temporaries(const char* target);

} // namespace hexstamp::platform
