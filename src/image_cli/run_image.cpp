#include "image_cli/run_image.hpp"

#include "image/report.hpp"
#include "image_cli/commands.hpp"
#include "image_cli/images.hpp"
#include "image_cli/options.hpp"
#include "image_cli/status.hpp"

namespace hexstamp::image {

namespace {

bool takes_images(Command command) {
    return command == Command::Stamp || command == Command::Show || command == Command::Verify;
}

int run_command(const Options& options, Images& images, TimeSource time_source, std::FILE* out,
                std::FILE* err) {
    switch (options.command) {
    case Command::Help:
        print_help(out);
        return ImageSuccess;
    case Command::Version:
        print_version(out);
        return ImageSuccess;
    case Command::Stamp:
        return stamp_images(options, images, time_source, err);
    case Command::Show:
        return show_images(options, images, out, err);
    case Command::Verify:
        return verify_images(options, images, out, err);
    case Command::None:
        break;
    }
    return ImageFailed;
}

// Buffered write errors (a full disk, a closed descriptor) surface only on flush.
int finish_output(std::FILE* out, std::FILE* err, int status) {
    if (std::fflush(out) != 0 || std::ferror(out) != 0) {
        say(err, "cannot write to standard output");
        return ImageFailed;
    }
    return status;
}

} // namespace

int run_image(int argc, const char* const* argv, std::FILE* out, std::FILE* err,
              TimeSource time_source) {
    Options options;
    int status = read_options(argc, argv, options, err);
    Images images;
    if (status == ImageSuccess && takes_images(options.command)) {
        status = prepare_images(options, images, err);
    }
    if (status == ImageSuccess) {
        status = run_command(options, images, time_source, out, err);
    }
    return finish_output(out, err, status);
}

} // namespace hexstamp::image
