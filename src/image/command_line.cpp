#include "image/command_line.hpp"

#include "cli/parse_address.hpp"
#include "image/board.hpp"
#include "image/formats.hpp"
#include "image/show.hpp"
#include "image/verify.hpp"
#include "platform/platform.hpp"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>
#include <vector>

#ifndef HEXSTAMP_VERSION
#define HEXSTAMP_VERSION "0"
#endif

namespace hexstamp::image {

namespace {

const char* const Usage = "Usage: hexstamp-image stamp [--first ADDRESS --last ADDRESS | --section "
                          "NAME | --symbol NAME]\n"
                          "                            [--base ADDRESS] [--output FILE] IMAGE...\n"
                          "       hexstamp-image show  [--first ADDRESS --last ADDRESS | --section "
                          "NAME | --symbol NAME]\n"
                          "                            [--base ADDRESS] [--json] IMAGE...\n"
                          "       hexstamp-image show --target TARGET [--first ADDRESS --last "
                          "ADDRESS | --section NAME |\n"
                          "                            --symbol NAME] [--json] [IMAGE]\n"
                          "       hexstamp-image verify --target TARGET [--crc] [--base ADDRESS] "
                          "[--json] IMAGE\n"
                          "       hexstamp-image verify [--base ADDRESS] [--json] IMAGE OTHER...\n"
                          "       hexstamp-image --help | --version\n";

const char* const HelpText =
    "\n"
    "stamp writes the date and time of the run, as hexstamp does, into the range of each\n"
    "IMAGE, in place (or into --output FILE), and changes nothing else. show prints the stamp\n"
    "that the range of each IMAGE holds: status 0 when all hold the same valid one, else 1.\n"
    "show --target reads the stamp from a running board through its debug probe's GDB\n"
    "server, TARGET being HOST:PORT, :PORT or a serial port (/dev/ttyACM0, COM5), and leaves\n"
    "the board running; with IMAGE, status 0 only when the board holds the image's stamp.\n"
    "verify compares every byte IMAGE holds (an ELF: the sections its loadable segments\n"
    "load, at their load addresses) with the board, read the same way, or with each OTHER\n"
    "image: status 0 when all are equal, else 1 and a line for each region that differs.\n"
    "It never writes.\n"
    "--crc asks the server for CRCs (qCRC) instead of reading, which is faster over a slow\n"
    "link; but OpenOCD computes them by running code in the target's RAM work area, which\n"
    "the program resumed afterwards may find overwritten.\n"
    "\n"
    "IMAGE is an ELF file (also Keil .axf, IAR .out), Intel HEX, Motorola S-record, TI-TXT,\n"
    "UF2, an ESP-IDF app image, DfuSe or a raw binary (also with a DFU suffix), told apart by\n"
    "content; checksums they carry are made anew. A raw binary needs --base, the address of\n"
    "its first byte.\n"
    "\n"
    "The range: --first and --last (1 to 16 bytes); else --symbol NAME, an ELF symbol; else\n"
    "--section NAME, by default .hexstamp. A symbol or section comes from the first ELF among\n"
    "the images, at its load address, and applies to every IMAGE.\n"
    "Addresses are hexadecimal with 0x, or decimal, from 0 to 0xFFFFFFFF.\n"
    "\n"
    "With SOURCE_DATE_EPOCH set and not empty, the stamp is that instant in UTC; otherwise\n"
    "the local time. Exit status: 0 done, 1 (show) no valid stamp or (verify) a difference,\n"
    "2 an error.\n";

enum class Command { None, Stamp, Show, Verify, Help, Version };

struct Options {
    Command command = Command::None;
    const char* first = nullptr;
    const char* last = nullptr;
    const char* section = nullptr;
    const char* symbol = nullptr;
    const char* base = nullptr;
    const char* output = nullptr;
    const char* target = nullptr;
    bool json = false;
    bool crc = false;
    bool has_range = false; // whether the stamp's range is known
    bool mips = false;      // the range came from a MIPS ELF
    std::vector<const char*> images;
    Target board;
    Range range;
    std::uint32_t base_address = 0;
};

int usage_error(std::FILE* err, const char* what, const char* text = "") {
    std::fprintf(err, "hexstamp-image: %s%s (see hexstamp-image --help)\n", what, text);
    return ImageFailed;
}

// The option that takes a value, for "--name VALUE" and "--name=VALUE"; null for others.
const char** option_value(Options& options, const char* name, std::size_t length) {
    const struct {
        const char* name;
        const char** value;
    } table[] = {{"--first", &options.first},     {"--last", &options.last},
                 {"--section", &options.section}, {"--symbol", &options.symbol},
                 {"--base", &options.base},       {"--output", &options.output},
                 {"--target", &options.target}};
    for (const auto& row : table) {
        if (std::strlen(row.name) == length && std::strncmp(row.name, name, length) == 0) {
            return row.value;
        }
    }
    return nullptr;
}

int take_option(const char* const* argv, int argc, int& at, Options& options, std::FILE* err) {
    const char* argument = argv[at];
    const char* equals = std::strchr(argument, '=');
    const std::size_t length =
        equals != nullptr ? static_cast<std::size_t>(equals - argument) : std::strlen(argument);
    const char** value = option_value(options, argument, length);
    if (std::strcmp(argument, "--json") == 0 || std::strcmp(argument, "--crc") == 0) {
        (argument[2] == 'j' ? options.json : options.crc) = true;
        return ImageSuccess;
    }
    if (std::strcmp(argument, "--help") == 0 || std::strcmp(argument, "-h") == 0) {
        options.command = Command::Help;
        return ImageSuccess;
    }
    if (value == nullptr) {
        return usage_error(err, "unknown option ", argument);
    }
    if (*value != nullptr) {
        return usage_error(err, "given twice: ", argument);
    }
    if (equals == nullptr && at + 1 >= argc) {
        return usage_error(err, "a value must follow ", argument);
    }
    *value = equals != nullptr ? equals + 1 : argv[++at];
    return ImageSuccess;
}

int take_arguments(int argc, const char* const* argv, Options& options, std::FILE* err) {
    int status = ImageSuccess;
    bool operands_only = false;
    for (int at = 1; at < argc && status == ImageSuccess && options.command != Command::Help;
         ++at) {
        const char* argument = argv[at];
        if (options.command == Command::None && std::strcmp(argument, "--version") == 0) {
            options.command = Command::Version;
            break;
        } else if (!operands_only && std::strcmp(argument, "--") == 0) {
            operands_only = true;
        } else if (!operands_only && argument[0] == '-' && argument[1] != '\0') {
            status = take_option(argv, argc, at, options, err);
        } else if (options.command == Command::None && std::strcmp(argument, "stamp") == 0) {
            options.command = Command::Stamp;
        } else if (options.command == Command::None && std::strcmp(argument, "show") == 0) {
            options.command = Command::Show;
        } else if (options.command == Command::None && std::strcmp(argument, "verify") == 0) {
            options.command = Command::Verify;
        } else if (options.command == Command::None) {
            status = usage_error(err, "unknown command ", argument);
        } else {
            options.images.push_back(argument);
        }
    }
    return status;
}

// An address as the user types it: 0x and hexadecimal digits, or decimal digits, nothing
// else, from 0 to 0xFFFFFFFF.
int read_address(const char* option, const char* text, std::uint32_t& address, std::FILE* err) {
    const bool hexadecimal = text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
    const char* digits = hexadecimal ? text + 2 : text;
    const std::size_t count =
        std::strspn(digits, hexadecimal ? "0123456789abcdefABCDEF" : "0123456789");
    const std::optional<std::uint32_t> value =
        count > 0 && digits[count] == '\0' ? parse_address(text) : std::nullopt;
    if (!value) {
        std::fprintf(err,
                     "hexstamp-image: %s: '%s' is not an address (0x and hexadecimal "
                     "digits, or decimal digits, from 0 to 0xFFFFFFFF) (see hexstamp-image "
                     "--help)\n",
                     option, text);
        return ImageFailed;
    }
    address = *value;
    return ImageSuccess;
}

int check_range(Options& options, std::FILE* err) {
    int status = read_address("--first", options.first, options.range.first, err);
    if (status == ImageSuccess) {
        status = read_address("--last", options.last, options.range.last, err);
    }
    if (status == ImageSuccess && options.range.first > options.range.last) {
        std::fprintf(err,
                     "hexstamp-image: --first 0x%08X is above --last 0x%08X (see "
                     "hexstamp-image --help)\n",
                     unsigned{options.range.first}, unsigned{options.range.last});
        status = ImageFailed;
    }
    const std::uint64_t length = std::uint64_t{options.range.last} - options.range.first + 1;
    if (status == ImageSuccess && length > MaxStampLength) {
        std::fprintf(err,
                     "hexstamp-image: the range 0x%08X-0x%08X holds %llu bytes, but a stamp "
                     "holds 1 to %zu (see hexstamp-image --help)\n",
                     unsigned{options.range.first}, unsigned{options.range.last},
                     static_cast<unsigned long long>(length), MaxStampLength);
        status = ImageFailed;
    }
    return status;
}

int check_options(Options& options, std::FILE* err) {
    const int sources = (options.first != nullptr || options.last != nullptr ? 1 : 0) +
                        (options.section != nullptr ? 1 : 0) + (options.symbol != nullptr ? 1 : 0);
    const bool stamp = options.command == Command::Stamp;
    const bool verify = options.command == Command::Verify;
    if (options.command == Command::None) {
        return usage_error(err, "no command: give stamp, show or verify");
    }
    if (options.target != nullptr && stamp) {
        return usage_error(err, "--target goes with show and verify");
    }
    if (options.crc && (!verify || options.target == nullptr)) {
        return usage_error(err, "--crc goes with verify --target");
    }
    if (verify && options.target != nullptr && options.images.size() != 1) {
        return usage_error(err, "verify --target compares the board with one IMAGE");
    }
    if (verify && options.target == nullptr && options.images.size() < 2) {
        return usage_error(err, "verify compares IMAGE with one OTHER image or more");
    }
    if (options.images.empty() && options.target == nullptr) {
        return usage_error(err, "no IMAGE given");
    }
    if (options.target != nullptr && options.images.size() > 1) {
        return usage_error(err, "show --target compares the board with one IMAGE at most");
    }
    if (options.output != nullptr && (!stamp || options.images.size() > 1)) {
        return usage_error(err, "--output goes with stamp and one IMAGE");
    }
    if (options.output != nullptr && std::strcmp(options.output, "-") == 0) {
        return usage_error(err, "--output -: a stamped image goes to a file, not to standard "
                                "output");
    }
    if (options.json && stamp) {
        return usage_error(err, "--json goes with show and verify");
    }
    if (sources > 1) {
        return usage_error(err, "give one of --first and --last, --section or --symbol");
    }
    if ((options.first == nullptr) != (options.last == nullptr)) {
        return usage_error(err, "--first and --last go together");
    }
    if (options.target != nullptr && !parse_target(options.target, options.board, err)) {
        return ImageFailed;
    }
    options.has_range = options.first != nullptr;
    int status = options.first != nullptr ? check_range(options, err) : ImageSuccess;
    if (status == ImageSuccess && options.base != nullptr) {
        status = read_address("--base", options.base, options.base_address, err);
    }
    return status;
}

// An image file, open for reading, and its format.
struct Image {
    const char* path = nullptr;
    std::FILE* in = nullptr;
    std::optional<std::uint64_t> elf_offset; // the stamp's place, in the ELF it was found in
    Format format = Format::Binary;
    Report report{};
    Patch patch;
    Replacement replacement;
    ~Image() {
        if (in != nullptr) {
            std::fclose(in);
        }
    }
};

int open_images(std::vector<Image>& images, std::FILE* err) {
    for (Image& image : images) {
        image.report = Report{err, image.path};
        image.in = platform::open_file(image.path, "rb");
        if (image.in == nullptr) {
            image.report.error(0, "cannot open: %s", std::strerror(errno));
            return ImageFailed;
        }
        if (!detect_format(image.in, image.report, image.format)) {
            return ImageFailed;
        }
    }
    return ImageSuccess;
}

// A raw binary needs its address. --base with no raw binary among the images is a mistake;
// beside one, it is what lets an ELF and the binary made from it be stamped in one run.
int check_base(const Options& options, const std::vector<Image>& images, std::FILE* err) {
    if (images.empty() && options.base != nullptr) {
        return usage_error(err, "--base is for raw binary images, and none is given");
    }
    bool any_binary = false;
    for (const Image& image : images) {
        any_binary = any_binary || needs_base(image.format);
        if (needs_base(image.format) && options.base == nullptr) {
            image.report.error(0,
                               "%s%s; as a raw binary it needs --base ADDRESS, the address "
                               "of its first byte",
                               image.format == Format::Binary
                                   ? "not ELF, Intel HEX, S-record, TI-TXT, UF2, DfuSe or an "
                                     "ESP-IDF app image"
                                   : "a raw binary with a DFU suffix",
                               image.format == Format::Binary ? raw_binary_note(image.in) : "");
            return ImageFailed;
        }
    }
    if (!any_binary && options.base != nullptr) {
        images.front().report.error(0, "--base is for raw binary images, and this is %s",
                                    format_name(images.front().format));
        return ImageFailed;
    }
    return ImageSuccess;
}

// The range from --first and --last, or from a symbol or section of the first ELF.
int find_range(Options& options, std::vector<Image>& images, std::FILE* err) {
    if (options.first != nullptr) {
        return ImageSuccess;
    }
    // verify prints the stamp where the image has one, and needs none.
    const bool optional = options.command == Command::Verify && options.symbol == nullptr &&
                          options.section == nullptr;
    for (Image& image : images) {
        if (image.format == Format::Elf) {
            ElfPlace place;
            place.symbol = options.symbol;
            place.section = options.section != nullptr ? options.section : place.section;
            place.fallback_symbol = options.section == nullptr ? "hexstamp_stamp" : nullptr;
            std::uint64_t offset = 0;
            const Report report{optional ? nullptr : image.report.err, image.path};
            options.has_range = find_in_elf(image.in, place, options.range, offset, report);
            options.mips = is_mips_elf(image.in);
            if (options.has_range) {
                image.elf_offset = offset;
            }
            return options.has_range || optional ? ImageSuccess : ImageFailed;
        }
    }
    if (optional) {
        return ImageSuccess;
    }
    if (options.symbol != nullptr || options.section != nullptr) {
        return usage_error(err, "--symbol and --section need an ELF among the images");
    }
    return usage_error(err, "no ELF among the images to find .hexstamp in: give "
                            "--first and --last");
}

bool process(Image& image, std::uint32_t base, std::FILE* out, Patch& patch) {
    return process_image(image.format, image.in, base, out, patch,
                         image.elf_offset ? &*image.elf_offset : nullptr, image.report);
}

bool process(Image& image, std::uint32_t base, std::FILE* out) {
    return process(image, base, out, image.patch);
}

// A MIPS ELF's KSEG0 or KSEG1 range stands for a physical one: a PIC32's HEX, S-record or
// binary that holds the physical range, and not the one the ELF gives, is stamped there.
int choose_physical(const Options& options, std::vector<Image>& images) {
    const Range physical{static_cast<std::uint32_t>(mips_physical(options.range.first)),
                         static_cast<std::uint32_t>(mips_physical(options.range.last))};
    if (!options.mips || physical.first == options.range.first) {
        return ImageSuccess;
    }
    for (Image& image : images) {
        if (image.format == Format::Elf) {
            continue;
        }
        Patch probe;
        probe.range = options.range;
        if (!process(image, options.base_address, nullptr, probe) || !platform::seek(image.in, 0)) {
            return ImageFailed;
        }
        if (probe.missing() == probe.range.length()) {
            image.patch.range = physical;
        }
    }
    return ImageSuccess;
}

// The contents of a MIPS ELF as a PIC32's other images hold them: at physical addresses.
Contents physical_contents(const Contents& contents) {
    Contents physical;
    for (const Region& region : contents.regions()) {
        physical.add(mips_physical(region.first), region.bytes.data(), region.bytes.size(),
                     region.may_be_ram);
    }
    physical.finish();
    return physical;
}

// The stamp's bytes as hexstamp writes them, for the moment read once for the whole run.
int make_stamp(const Range& range, TimeSource time_source, std::FILE* err,
               std::uint8_t (&bytes)[MaxStampLength]) {
    std::tm moment{};
    if (read_time(time_source, err, "hexstamp-image: ", moment) != 0) {
        return ImageFailed;
    }
    DateTimeStamp stamp = allocate_stamp(range.length());
    if (!stamp.bytes) {
        std::fprintf(err, "hexstamp-image: out of memory\n");
        return ImageFailed;
    }
    build_stamp(stamp, moment);
    for (std::size_t index = 0; index < stamp.length; ++index) {
        bytes[index] = to_packed_bcd(stamp.bytes[index]);
    }
    return ImageSuccess;
}

// An image the user may not write is refused before any is written: renaming a new file over
// it would replace it all the same.
int check_writable(const Options& options, const std::vector<Image>& images) {
    for (const Image& image : images) {
        std::string why;
        const char* target = options.output != nullptr ? options.output : image.path;
        if (!platform::may_write(target, why)) {
            Report{image.report.err, target}.error(0, "not writable (%s)", why.c_str());
            return ImageFailed;
        }
    }
    return ImageSuccess;
}

// A text image holds the whole range, or, when no ELF among the images says where the stamp
// lives, none of it: its records are then added. Part of it is a range the firmware did not
// reserve, and none of an ELF's range a file not made from that ELF.
bool holds_range(const Image& image, bool elf_among) {
    if (!is_text(image.format)) {
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

// Every image is written beside itself and checked before the first one is replaced.
int stamp_images(const Options& options, std::vector<Image>& images, const std::uint8_t* stamp) {
    const bool elf_among = std::any_of(images.begin(), images.end(), [](const Image& image) {
        return image.format == Format::Elf;
    });
    for (Image& image : images) {
        image.patch.stamp = stamp;
        const char* target = options.output != nullptr ? options.output : image.path;
        if (!image.replacement.open(target, image.path, image.report) ||
            !process(image, options.base_address, image.replacement.out()) ||
            !holds_range(image, elf_among) || !image.replacement.finish(image.report)) {
            return ImageFailed;
        }
    }
    // Windows renames nothing over a file that is still open.
    for (Image& image : images) {
        std::fclose(image.in);
        image.in = nullptr;
    }
    for (Image& image : images) {
        if (!image.replacement.commit(image.report)) {
            return ImageFailed;
        }
    }
    return ImageSuccess;
}

int show_images(const Options& options, std::vector<Image>& images, std::FILE* out,
                std::FILE* err) {
    std::vector<Source> sources;
    for (Image& image : images) {
        if (!process(image, options.base_address, nullptr)) {
            return ImageFailed;
        }
        sources.push_back({image.path, &image.patch});
    }
    if (options.target == nullptr) {
        return show_stamps(sources, options.json, out, err);
    }
    Patch board;
    board.range = options.range;
    if (!read_board(options.target, options.board, board, err)) {
        return ImageFailed;
    }
    return show_board({options.target, &board}, sources.empty() ? nullptr : &sources.front(),
                      options.json, out, err);
}

// Every byte of the first image, compared with the board or with each other image.
int verify_images(const Options& options, std::vector<Image>& images, std::FILE* out,
                  std::FILE* err) {
    std::vector<Contents> contents(images.size());
    for (std::size_t index = 0; index < images.size(); ++index) {
        images[index].patch.contents = &contents[index];
        if (!process(images[index], options.base_address, nullptr)) {
            return ImageFailed;
        }
        contents[index].finish();
    }
    const Image& image = images.front();
    if (contents.front().regions().empty()) {
        image.report.error(0, "holds no bytes to compare");
        return ImageFailed;
    }
    char stamp[32] = "";
    const bool stamped = options.has_range && valid_stamp(image.patch, stamp);
    if (options.target != nullptr) {
        std::vector<Compared> result;
        if (!verify_board(options.target, options.board, contents.front(), options.crc, result,
                          err)) {
            return ImageFailed;
        }
        return print_verdict(options.target, true, image.path, contents.front(), result,
                             stamped ? stamp : nullptr, options.json, out, err);
    }
    int status = ImageSuccess;
    for (std::size_t index = 1; index < images.size(); ++index) {
        // A PIC32's ELF and its HEX: virtual addresses in the one, physical in the other.
        const bool mips = images[index].format != image.format &&
                          (image.format == Format::Elf || images[index].format == Format::Elf) &&
                          is_mips_elf((image.format == Format::Elf ? image : images[index]).in);
        const Contents mapped[] = {mips ? physical_contents(contents.front()) : Contents{},
                                   mips ? physical_contents(contents[index]) : Contents{}};
        const std::vector<Compared> result =
            mips ? compare_images(mapped[0], mapped[1])
                 : compare_images(contents.front(), contents[index]);
        status = std::max(status,
                          print_verdict(images[index].path, false, image.path, contents.front(),
                                        result, stamped ? stamp : nullptr, options.json, out, err));
    }
    return status;
}

} // namespace

int run_image(int argc, const char* const* argv, std::FILE* out, std::FILE* err,
              TimeSource time_source) {
    Options options;
    int status = take_arguments(argc, argv, options, err);
    const bool informs = options.command == Command::Help || options.command == Command::Version;
    if (status == ImageSuccess && informs) {
        std::fprintf(out, "%s", options.command == Command::Help ? Usage : "");
        std::fprintf(out, "%s",
                     options.command == Command::Help ? HelpText
                                                      : "hexstamp-image " HEXSTAMP_VERSION "\n");
    }
    if (status == ImageSuccess && !informs) {
        status = check_options(options, err);
    }
    std::vector<Image> images(informs ? 0 : options.images.size());
    for (std::size_t index = 0; index < images.size(); ++index) {
        images[index].path = options.images[index];
    }
    if (status == ImageSuccess && !informs) {
        status = open_images(images, err);
    }
    if (status == ImageSuccess && !informs) {
        status = find_range(options, images, err);
    }
    if (status == ImageSuccess && !informs) {
        status = check_base(options, images, err);
    }
    for (Image& image : images) {
        image.patch.range = options.range;
    }
    if (status == ImageSuccess && !informs && options.has_range) {
        status = choose_physical(options, images);
    }
    std::uint8_t stamp[MaxStampLength] = {};
    const bool stamping = options.command == Command::Stamp;
    if (status == ImageSuccess && stamping) {
        status = check_writable(options, images);
    }
    if (status == ImageSuccess && stamping) {
        status = make_stamp(options.range, time_source, err, stamp);
    }
    if (status == ImageSuccess && stamping) {
        status = stamp_images(options, images, stamp);
    }
    if (status == ImageSuccess && options.command == Command::Show) {
        status = show_images(options, images, out, err);
    }
    if (status == ImageSuccess && options.command == Command::Verify) {
        status = verify_images(options, images, out, err);
    }
    if (std::fflush(out) != 0 || std::ferror(out) != 0) {
        std::fprintf(err, "hexstamp-image: cannot write to standard output\n");
        status = ImageFailed;
    }
    return status;
}

} // namespace hexstamp::image
