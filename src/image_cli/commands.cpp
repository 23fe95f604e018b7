#include "image_cli/commands.hpp"

#include "board/board.hpp"
#include "formats/elf_image.hpp"
#include "image_cli/show.hpp"
#include "image_cli/status.hpp"
#include "image_cli/verdict.hpp"
#include "platform/interrupt.hpp"

#include <algorithm>
#include <string>

namespace hexstamp::image {

namespace {

// The stamp's bytes as hexstamp writes them, for the moment read once for the whole run.
int make_stamp(const Range& range, TimeSource time_source, std::FILE* err,
               std::uint8_t (&bytes)[MaxStampLength]) {
    std::tm moment{};
    if (!read_time(time_source, err, ProgramPrefix, moment)) {
        return ImageFailed;
    }
    DateTimeStamp stamp = allocate_stamp(range.length());
    if (!stamp.bytes) {
        say(err, "out of memory");
        return ImageFailed;
    }
    build_stamp(stamp, moment);
    for (std::size_t index = 0; index < stamp.length; ++index) {
        bytes[index] = to_packed_bcd(stamp.bytes[index]);
    }
    return ImageSuccess;
}

// What a stamp writes must be a regular file the user may write, checked before any is
// written: renaming a new file over one the user may not write would replace it all the same,
// and a device or a FIFO would become a file.
int check_writable(const Options& options, const Images& images) {
    for (const Image& image : images.list) {
        const char* target = options.output != nullptr ? options.output : image.path;
        if (!writable_destination(target, Report{image.report.err, target})) {
            return ImageFailed;
        }
    }
    return ImageSuccess;
}

// A text image holds the whole range, or, when no ELF among the images says where the stamp
// lives, none of it: its records are then added. Part of it is a range the firmware did not
// reserve, and none of an ELF's range a file not made from that ELF.
bool holds_range(const Image& image, bool elf_among) {
    if (!image.format->text) {
        return true;
    }
    const Range& range = image.patch.range;
    const std::size_t held = range.length() - image.patch.missing();
    if (held > 0 && held < range.length()) {
        image.report.error(0,
                           "holds %zu of the %zu bytes of 0x%08X-0x%08X; give the range the "
                           "firmware reserved for the stamp",
                           held, range.length(), unsigned{range.first}, unsigned{range.last});
        return false;
    }
    if (held == 0 && elf_among) {
        image.report.error(0,
                           "holds no byte of 0x%08X-0x%08X, where the ELF places the stamp; "
                           "was it made from that ELF?",
                           unsigned{range.first}, unsigned{range.last});
        return false;
    }
    return true;
}

int write_beside(const Options& options, Images& images, const std::uint8_t* stamp) {
    const bool elf_among =
        std::any_of(images.list.begin(), images.list.end(),
                    [](const Image& image) { return image.format == &ElfFormat; });
    for (Image& image : images.list) {
        image.patch.stamp = stamp;
        const char* target = options.output != nullptr ? options.output : image.path;
        if (!image.replacement.open(target, image.path, image.report) ||
            !image.process(image.replacement.out()) || !holds_range(image, elf_among) ||
            !image.replacement.finish(image.report)) {
            return ImageFailed;
        }
    }
    return ImageSuccess;
}

// The images change together or not at all: an image replaced before one that cannot be is
// put back. Meanwhile no signal cuts the renames short.
int replace_all(Images& images) {
    // Windows renames nothing over a file that is still open.
    for (Image& image : images.list) {
        image.close();
    }
    const platform::HeldSignals held;
    std::size_t replaced = 0;
    while (replaced < images.list.size() &&
           images.list[replaced].replacement.commit(images.list[replaced].report)) {
        ++replaced;
    }
    const bool all = replaced == images.list.size();
    for (std::size_t index = 0; index < replaced; ++index) {
        Image& image = images.list[index];
        if (all) {
            image.replacement.done();
        } else if (image.replacement.undo(image.report)) {
            image.report.error(0, "put back as it was: the images are stamped together or not "
                                  "at all");
        }
    }
    return all ? ImageSuccess : ImageFailed;
}

// A PIC32's ELF and its HEX: virtual addresses in the one, physical in the other.
bool compare_files(Image& image, const Contents& ours, Image& other, const Contents& theirs,
                   std::vector<Compared>& result) {
    const bool mips = other.format != image.format &&
                      (image.format == &ElfFormat || other.format == &ElfFormat) &&
                      is_mips_elf((image.format == &ElfFormat ? image : other).in);
    const bool read =
        mips ? compare_images(physical_contents(ours), physical_contents(theirs), result)
             : compare_images(ours, theirs, result);
    if (!read) {
        say(image.report.err, "cannot read %s or %s again to compare them", image.path, other.path);
    }
    return read;
}

// verify IMAGE: a text image whose first line is broken is taken for a raw binary, which has no
// checks; without --base, which says it is one, it is said to be broken instead.
int check_alone(Image& image, bool based, bool json, std::FILE* out, std::FILE* err) {
    std::string why;
    const Format* like = image.format->recognise == nullptr && !based
                             ? resemblance(image.in, image.report, why)
                             : nullptr;
    if (like != nullptr && like->text) {
        say(err, "%s, so it is no whole %s file", why.c_str(), like->name);
        return NoStamp;
    }
    Checks checks;
    return check_image(image, checks)
               ? print_checks(image.path, image.format->name, checks, json, out, err)
               : ImageFailed;
}

Board board_of(const Options& options) {
    return {options.target, options.board, options.timeout_seconds, !options.json};
}

} // namespace

int stamp_images(const Options& options, Images& images, TimeSource time_source, std::FILE* err) {
    if (images.undeclared) { // --if-declared: a build whose firmware has no stamp
        return ImageSuccess;
    }
    std::uint8_t stamp[MaxStampLength] = {};
    int status = check_writable(options, images);
    if (status == ImageSuccess) {
        status = make_stamp(images.range, time_source, err, stamp);
    }
    if (status == ImageSuccess) {
        status = write_beside(options, images, stamp);
    }
    if (status == ImageSuccess) {
        status = replace_all(images);
    }
    return status;
}

int show_images(const Options& options, Images& images, std::FILE* out, std::FILE* err) {
    std::vector<Source> sources;
    for (Image& image : images.list) {
        if (!image.process(nullptr)) {
            return ImageFailed;
        }
        sources.push_back({image.path, &image.patch});
    }
    if (options.target == nullptr) {
        return show_stamps(sources, options.json, out, err);
    }
    Patch board;
    board.range = images.range;
    if (!read_board(board_of(options), board, err)) {
        return ImageFailed;
    }
    return show_board({options.target, &board}, sources.empty() ? nullptr : &sources.front(),
                      options.json, out, err);
}

int verify_images(const Options& options, Images& images, std::FILE* out, std::FILE* err) {
    if (options.target == nullptr && images.list.size() == 1) {
        return check_alone(images.list.front(), options.base != nullptr, options.json, out, err);
    }
    std::vector<Contents> contents(images.list.size());
    for (std::size_t index = 0; index < images.list.size(); ++index) {
        images.list[index].patch.contents = &contents[index];
        if (!images.list[index].process(nullptr)) {
            return ImageFailed;
        }
        if (!contents[index].finish()) {
            images.list[index].report.error(0, "cannot read the file again");
            return ImageFailed;
        }
    }
    Image& image = images.list.front();
    if (contents.front().regions().empty()) {
        image.report.error(0, "holds no bytes to compare");
        return ImageFailed;
    }
    char stamp[32] = "";
    const bool stamped = images.has_range && valid_stamp(image.patch, stamp);
    std::vector<Excluded> excluded;
    for (const Range& range : options.excluded) {
        excluded.push_back({range, contents.front().exclude(range.first, range.last)});
    }
    if (options.target != nullptr) {
        std::vector<Compared> result;
        if (!verify_board(board_of(options), contents.front(), options.crc, result, err)) {
            return ImageFailed;
        }
        return print_verdict({options.target, true, image.path, contents.front(), result,
                              stamped ? stamp : nullptr, excluded},
                             options.json, out, err);
    }
    int status = ImageSuccess;
    for (std::size_t index = 1; index < images.list.size(); ++index) {
        Image& other = images.list[index];
        std::vector<Compared> result;
        if (!compare_files(image, contents.front(), other, contents[index], result)) {
            return ImageFailed;
        }
        status = std::max(status, print_verdict({other.path, false, image.path, contents.front(),
                                                 result, stamped ? stamp : nullptr, excluded},
                                                options.json, out, err));
    }
    return status;
}

} // namespace hexstamp::image
