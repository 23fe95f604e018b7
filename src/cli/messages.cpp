#include "cli/messages.hpp"

namespace hexstamp::messages {

void usage(std::FILE* err, const char* program_name) {
    // Stand-in for the invocation name when the system passes none.
    const char* name = program_name != nullptr ? program_name : "hexstamp";
    std::fprintf(err,
                 "\nUsage: %s <startaddress> <endendaddress>\nResult will be generated to STDOUT\n",
                 name);
}

void bad_start_address(std::FILE* err, const char* text) {
    std::fprintf(err, "\nUnable to get startaddress from '%s' parameter\n", text);
}

void bad_end_address(std::FILE* err, const char* text) {
    std::fprintf(err, "\nUnable to get endaddress from '%s' parameter\n", text);
}

void start_after_end(std::FILE* err) {
    std::fprintf(err, "\nStartaddress > endaddress\n");
}

void length_too_long(std::FILE* err) {
    std::fprintf(err, "\nLength > 16 bytes\n");
}

void out_of_memory(std::FILE* err) {
    std::fprintf(err, "\nMemory allocation error\n");
}

void output_failed(std::FILE* err) {
    std::fprintf(err, "\nUnable to write to STDOUT\n");
}

void exit_status(std::FILE* err, int status) {
    std::fprintf(err, "Exit with code %d\n", status);
}

} // namespace hexstamp::messages
