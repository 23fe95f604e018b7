#include "cli/run.hpp"

int main(int argc, char** argv) {
    return hexstamp::run(argc, argv, stdout, stderr, {hexstamp::system_clock, nullptr});
}
