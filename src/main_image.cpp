#include "image/command_line.hpp"

// Stamps firmware images in place, or shows the stamp an image holds.
int main(int argc, char** argv) {
    return hexstamp::image::run_image(argc, argv, stdout, stderr,
                                      {hexstamp::system_clock, hexstamp::process_environment});
}
