#include "image/command_line.hpp"
#include "platform/platform.hpp"

// Stamps firmware images in place, or shows the stamp an image holds.
int main(int argc, char** argv) {
    hexstamp::platform::utf8_arguments(argc, argv);
    hexstamp::platform::clean_up_on_interrupt();
    return hexstamp::image::run_image(argc, argv, stdout, stderr,
                                      {hexstamp::system_clock, hexstamp::process_environment});
}
