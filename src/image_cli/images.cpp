#include "image_cli/images.hpp"

#include "formats/elf_image.hpp"
#include "image_cli/status.hpp"
#include "platform/files.hpp"

#include <cerrno>
#include <cstring>
#include <string>

namespace hexstamp::image {

namespace {

int usage_error(std::FILE* err, const char* what) {
    say(err, "%s (see hexstamp-image --help)", what);
    return ImageFailed;
}

bool is_elf(const Image& image) {
    return image.format == &ElfFormat;
}

// How long a run waits for another run over the same images to end.
constexpr int LockSeconds = 30;

// Stamping locks its images (and --output) for writing, show and verify for reading.
int lock_images(const Options& options, Images& images, std::FILE* err) {
    std::vector<std::string> paths(options.images.begin(), options.images.end());
    if (options.output != nullptr) {
        paths.emplace_back(options.output);
    }
    std::string failed;
    std::string why;
    switch (images.locks.take(paths, options.command == Command::Stamp, LockSeconds, failed, why)) {
    case platform::FileLocks::Result::Held:
        return ImageSuccess;
    case platform::FileLocks::Result::Unsupported:
        say(err,
            "note: %s: its file system has no locks, so runs over the same images at once "
            "are not kept apart",
            failed.c_str());
        return ImageSuccess;
    case platform::FileLocks::Result::Busy:
        say(err, "%s: another run still holds it after %d s", failed.c_str(), LockSeconds);
        return ImageFailed;
    case platform::FileLocks::Result::Failed:
        break;
    }
    say(err, "%s: cannot lock: %s", failed.c_str(), why.c_str());
    return ImageFailed;
}

int open_images(const Options& options, Images& images) {
    for (Image& image : images.list) {
        image.in = platform::open_file(image.path, "rb");
        if (image.in == nullptr) {
            image.report.error(0, "cannot open: %s", std::strerror(errno));
            return ImageFailed;
        }
        image.format = detect_format(image.in, image.report);
        if (image.format == nullptr) {
            return ImageFailed;
        }
        image.parameters.base = options.base_address;
    }
    return ImageSuccess;
}

// A raw binary with no --base: what it looked like, when it starts as another format.
void refuse_without_base(const Image& image) {
    std::string why;
    const Format* like =
        image.format->recognise == nullptr ? resemblance(image.in, image.report, why) : nullptr;
    const char* const way_out = "as a raw binary it needs --base ADDRESS, the address of its "
                                "first byte";
    if (like != nullptr && like->text) { // the reason names the file and the line
        say(image.report.err, "%s, so it is no %s file; %s", why.c_str(), like->name, way_out);
    } else if (image.format->recognise == nullptr) {
        image.report.error(0, "not %s%s%s%s%s; %s", recognised_formats().c_str(),
                           like != nullptr ? " (it starts as " : "",
                           like != nullptr ? like->name : "", like != nullptr ? ", but " : "",
                           like != nullptr ? (why + ")").c_str() : "", way_out);
    } else {
        image.report.error(0,
                           "%s, which holds no address of its own; it needs --base ADDRESS, "
                           "the address of its first byte",
                           image.format->name);
    }
}

// A raw binary needs its address. --base with no raw binary among the images is a mistake;
// beside one, it is what lets an ELF and the binary made from it be stamped in one run.
int check_base(const Options& options, const Images& images, std::FILE* err) {
    if (images.list.empty() && options.base != nullptr) {
        return usage_error(err, "--base is for raw binary images, and none is given");
    }
    bool any_binary = false;
    for (const Image& image : images.list) {
        any_binary = any_binary || image.format->needs_base;
        if (image.format->needs_base && options.base == nullptr) {
            refuse_without_base(image);
            return ImageFailed;
        }
    }
    if (!any_binary && options.base != nullptr && images.list.size() == 1) {
        const Image& only = images.list.front();
        only.report.error(0, "--base is for raw binary images, and this is %s", only.format->name);
        return ImageFailed;
    }
    if (!any_binary && options.base != nullptr) {
        std::string kinds;
        for (const Image& image : images.list) {
            kinds +=
                std::string(kinds.empty() ? "" : ", ") + image.path + " is " + image.format->name;
        }
        say(err, "--base is for raw binary images, and none of these is one: %s", kinds.c_str());
        return ImageFailed;
    }
    return ImageSuccess;
}

// The range from --first and --last, or from a symbol or section of the first ELF.
int find_range(const Options& options, Images& images, std::FILE* err) {
    if (options.first != nullptr) {
        images.range = options.range;
        images.has_range = true;
        return ImageSuccess;
    }
    // verify prints the stamp where the image has one, and needs none.
    const bool optional = options.command == Command::Verify && options.symbol == nullptr &&
                          options.section == nullptr;
    for (Image& image : images.list) {
        if (!is_elf(image)) {
            continue;
        }
        ElfPlace place;
        place.symbol = options.symbol;
        place.section = options.section != nullptr ? options.section : place.section;
        place.fallback_symbol = options.section == nullptr ? "hexstamp_stamp" : nullptr;
        const Report report{optional ? nullptr : image.report.err, image.path};
        ElfStamp found;
        images.undeclared = options.if_declared && !declares_stamp(image.in, place);
        if (images.undeclared) {
            return ImageSuccess;
        }
        images.has_range = find_in_elf(image.in, place, found, report);
        if (images.has_range) {
            images.range = found.range;
            images.mips = found.mips;
            image.parameters.elf_offset = found.offset;
        }
        return images.has_range || optional ? ImageSuccess : ImageFailed;
    }
    if (optional) {
        return ImageSuccess;
    }
    if (options.symbol != nullptr || options.section != nullptr) {
        return usage_error(err, "--symbol and --section need an ELF among the images");
    }
    return usage_error(err, "no ELF among the images to find .hexstamp in: give --first and "
                            "--last");
}

// A MIPS ELF's KSEG0 or KSEG1 range stands for a physical one: a PIC32's HEX, S-record or
// binary that holds the physical range, and not the one the ELF gives, is stamped there.
int choose_physical(Images& images) {
    const Range physical{static_cast<std::uint32_t>(mips_physical(images.range.first)),
                         static_cast<std::uint32_t>(mips_physical(images.range.last))};
    if (!images.mips || physical.first == images.range.first) {
        return ImageSuccess;
    }
    for (Image& image : images.list) {
        if (is_elf(image)) {
            continue;
        }
        Patch probe;
        probe.range = images.range;
        if (!image.process(nullptr, probe) || !platform::seek(image.in, 0)) {
            return ImageFailed;
        }
        if (probe.missing() == probe.range.length()) {
            image.patch.range = physical;
        }
    }
    return ImageSuccess;
}

} // namespace

void Image::close() {
    if (in != nullptr) {
        std::fclose(in);
        in = nullptr;
    }
}

bool Image::process(std::FILE* out, Patch& into, Checks* checks) {
    return format->process({in, out, into, report, parameters, checks});
}

bool check_image(Image& image, Checks& checks) {
    return image.process(nullptr, image.patch, &checks);
}

int prepare_images(const Options& options, Images& images, std::FILE* err) {
    images.list = std::vector<Image>(options.images.size());
    for (std::size_t index = 0; index < images.list.size(); ++index) {
        images.list[index].path = options.images[index];
        images.list[index].report = Report{err, options.images[index]};
    }
    int status = lock_images(options, images, err);
    if (status == ImageSuccess) {
        status = open_images(options, images);
    }
    if (status == ImageSuccess) {
        status = find_range(options, images, err);
    }
    if (status == ImageSuccess && !images.undeclared) {
        status = check_base(options, images, err);
    }
    for (Image& image : images.list) {
        image.patch.range = images.range;
    }
    if (status == ImageSuccess && images.has_range) {
        status = choose_physical(images);
    }
    return status;
}

Contents physical_contents(const Contents& contents) {
    Contents physical;
    for (Region region : contents.regions()) {
        const std::uint64_t moved = mips_physical(region.first);
        for (Piece& piece : region.pieces) {
            piece.first = piece.first - region.first + moved;
        }
        region.first = moved;
        physical.add_region(region);
    }
    physical.finish(); // regions already read, or read again when compared
    return physical;
}

} // namespace hexstamp::image
