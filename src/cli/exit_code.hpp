#pragma once

namespace hexstamp {

// The process exit status; a script tells the failures apart by these values.
enum ExitCode : int {
    Success = 0,
    BadStartAddress = 1,
    BadEndAddress = 2,
    StartAfterEnd = 3,
    LengthTooLong = 4,
    OutOfMemory = 5,
    ClockFailed = 6,
    OutputFailed = 7,
    Usage = 255,
};

} // namespace hexstamp
