#pragma once

#include <string>
#include <vector>

namespace hexstamp::platform {

// Advisory locks on a run's files, held until released or the process ends: the system
// releases them then, also for a process ended by SIGKILL. Each file is locked once, whatever
// names it goes by, and files are locked in the order of their names, which replacing them
// keeps, so that two runs over the same files in any order never wait on each other for ever.
class FileLocks {
  public:
    enum class Result {
        Held,        // every file that exists is locked
        Unsupported, // a file system, or the system, has no locks: nothing is locked
        Busy,        // another run held a file for the whole wait
        Failed,      // a file could not be opened or locked
    };
    FileLocks() = default;
    FileLocks(const FileLocks&) = delete;
    FileLocks& operator=(const FileLocks&) = delete;
    ~FileLocks() { release(); }

    // Locks the files at `paths` (exclusive: for writing; else shared, for reading), waiting
    // at most `seconds` for each; a path that names no file is passed over. On any result
    // but Held, `failed` is the path and `why` the reason, and nothing stays locked.
    Result take(const std::vector<std::string>& paths, bool exclusive, int seconds,
                std::string& failed, std::string& why);
    void release();

  private:
    std::vector<int> held_;
};

} // namespace hexstamp::platform
