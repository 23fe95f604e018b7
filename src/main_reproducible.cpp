#include "cli/run.hpp"

// hexstamp, except that SOURCE_DATE_EPOCH, when set, fixes the stamp's moment in UTC.
int main(int argc, char** argv) {
    return hexstamp::run(argc, argv, stdout, stderr,
                         {hexstamp::system_clock, hexstamp::process_environment});
}
