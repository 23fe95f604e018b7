#include "image_cli/run_image.hpp"
#include "platform/arguments.hpp"
#include "platform/interrupt.hpp"

// Stamps firmware images in place, shows the stamp an image or a board holds, and verifies them.
int main(int argc, char** argv) {
    hexstamp::platform::utf8_arguments(argc, argv);
    hexstamp::platform::clean_up_on_interrupt();
    return hexstamp::image::run_image(argc, argv, stdout, stderr,
                                      {hexstamp::system_clock, hexstamp::process_environment});
}
