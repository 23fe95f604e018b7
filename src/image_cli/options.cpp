#include "image_cli/options.hpp"

#include "formats/format.hpp"
#include "image/report.hpp"
#include "image_cli/status.hpp"
#include "stamp/parse_address.hpp"

#include <cstdlib>
#include <cstring>
#include <string>

#ifndef HEXSTAMP_VERSION
#define HEXSTAMP_VERSION "0"
#endif

namespace hexstamp::image {

namespace {

const char* const Usage = "Usage: hexstamp-image stamp [--first ADDRESS --last ADDRESS | --section "
                          "NAME | --symbol NAME]\n"
                          "                            [--base ADDRESS] [--output FILE] "
                          "[--if-declared] IMAGE...\n"
                          "       hexstamp-image show  [--first ADDRESS --last ADDRESS | --section "
                          "NAME | --symbol NAME]\n"
                          "                            [--base ADDRESS] [--json] IMAGE...\n"
                          "       hexstamp-image show --target TARGET [--first ADDRESS --last "
                          "ADDRESS | --section NAME |\n"
                          "                            --symbol NAME] [--timeout SECONDS] "
                          "[--json] [IMAGE]\n"
                          "       hexstamp-image verify --target TARGET [--crc] [--base ADDRESS] "
                          "[--timeout SECONDS]\n"
                          "                            [--exclude FIRST-LAST]... [--json] IMAGE\n"
                          "       hexstamp-image verify [--base ADDRESS] [--exclude FIRST-LAST]... "
                          "[--json] IMAGE OTHER...\n"
                          "       hexstamp-image verify [--base ADDRESS] [--json] IMAGE\n"
                          "       hexstamp-image --help | --version\n";

const char* const Commands =
    "\n"
    "stamp writes the date and time of the run, as hexstamp does, into the range of each\n"
    "IMAGE, in place (or into --output FILE), and changes nothing else. show prints the stamp\n"
    "that the range of each IMAGE holds: status 0 when all hold the same valid one, else 1.\n"
    "show --target reads the stamp from a running board through its debug probe's GDB\n"
    "server, TARGET being HOST:PORT, :PORT or a serial port (/dev/ttyACM0, COM5), and leaves\n"
    "the board running; with IMAGE, status 0 only when the board holds the image's stamp.\n"
    "verify compares every byte IMAGE holds (an ELF: the sections its loadable segments\n"
    "load, at their load addresses) with the board, read the same way, or with each OTHER\n"
    "image: status 0 when all are equal, else 1 and a line for each region that differs;\n"
    "--exclude leaves a range out (flash the program rewrites). verify IMAGE alone checks\n"
    "it by its own checksums, CRCs and hashes: 0 whole, 1 one is wrong. verify never writes.\n"
    "stamp --if-declared leaves an ELF that declares no stamp (and the files made from it) as\n"
    "they are, with status 0: for a hook that every build runs.\n"
    "--crc asks the server for CRCs (qCRC) instead of reading, which is faster over a slow\n"
    "link; but OpenOCD computes them by running code in the target's RAM work area, which\n"
    "the program resumed afterwards may find overwritten. --timeout bounds the connection and\n"
    "the reads together (by default a minute, and a second for every 4 KiB to read); a long\n"
    "read shows its progress on a terminal.\n"
    "\n";

// The formats, from the table that tells them apart.
std::string formats_text() {
    return "IMAGE is told apart by its content: " + recognised_formats() +
           " (an ELF may be a Keil .axf or an IAR .out); checksums they carry are made anew. Any "
           "other file is a raw binary (also with a DFU suffix, or an MCUboot image, whose hash is "
           "made anew), which needs --base, the address of its first byte.";
}

const char* const Ranges =
    "\n\n"
    "The range: --first and --last (1 to 16 bytes); else --symbol NAME, an ELF symbol; else\n"
    "--section NAME, by default .hexstamp. A symbol or section comes from the first ELF among\n"
    "the images, at its load address, and applies to every IMAGE.\n"
    "Addresses are hexadecimal with 0x, or decimal, from 0 to 0xFFFFFFFF.\n"
    "\n"
    "With SOURCE_DATE_EPOCH set and not empty, the stamp is that instant in UTC; otherwise\n"
    "the local time. Exit status: 0 done, 1 (show) no valid stamp or (verify) a difference,\n"
    "2 an error.\n";

int usage_error(std::FILE* err, const char* what, const char* text = "") {
    say(err, "%s%s (see hexstamp-image --help)", what, text);
    return ImageFailed;
}

// Text in lines of at most 88 characters, broken at blanks.
void print_wrapped(const std::string& text, std::FILE* out) {
    constexpr std::size_t Width = 88;
    std::size_t start = 0;
    while (text.size() - start > Width) {
        std::size_t end = text.rfind(' ', start + Width);
        end = end == std::string::npos || end <= start ? start + Width : end;
        std::fprintf(out, "%s\n", text.substr(start, end - start).c_str());
        start = end + 1;
    }
    std::fprintf(out, "%s", text.substr(start).c_str());
}

// An option that takes a value, for "--name VALUE" and "--name=VALUE"; null for others.
const char** option_value(Options& options, const char* name, std::size_t length) {
    const struct {
        const char* name;
        const char** value;
    } table[] = {{"--first", &options.first},     {"--last", &options.last},
                 {"--section", &options.section}, {"--symbol", &options.symbol},
                 {"--base", &options.base},       {"--output", &options.output},
                 {"--target", &options.target},   {"--timeout", &options.timeout}};
    for (const auto& row : table) {
        if (std::strlen(row.name) == length && std::strncmp(row.name, name, length) == 0) {
            return row.value;
        }
    }
    return nullptr;
}

// An option that is a flag; null for others.
bool* option_flag(Options& options, const char* name) {
    const struct {
        const char* name;
        bool* flag;
    } table[] = {{"--json", &options.json},
                 {"--crc", &options.crc},
                 {"--if-declared", &options.if_declared}};
    for (const auto& row : table) {
        if (std::strcmp(row.name, name) == 0) {
            return row.flag;
        }
    }
    return nullptr;
}

int take_option(const char* const* argv, int argc, int& at, Options& options, std::FILE* err) {
    const char* argument = argv[at];
    if (std::strcmp(argument, "--help") == 0 || std::strcmp(argument, "-h") == 0) {
        options.command = Command::Help;
        return ImageSuccess;
    }
    if (bool* flag = option_flag(options, argument)) {
        *flag = true;
        return ImageSuccess;
    }
    const char* equals = std::strchr(argument, '=');
    const std::size_t length =
        equals != nullptr ? static_cast<std::size_t>(equals - argument) : std::strlen(argument);
    const char* repeated = nullptr; // --exclude may be given again and again
    const char** value = length == 9 && std::strncmp(argument, "--exclude", 9) == 0
                             ? &repeated
                             : option_value(options, argument, length);
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
    if (value == &repeated) {
        options.excluded_text.push_back(repeated);
    }
    return ImageSuccess;
}

Command command_named(const char* word) {
    const struct {
        const char* name;
        Command command;
    } table[] = {{"stamp", Command::Stamp}, {"show", Command::Show}, {"verify", Command::Verify}};
    for (const auto& row : table) {
        if (std::strcmp(row.name, word) == 0) {
            return row.command;
        }
    }
    return Command::None;
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
        } else if (options.command == Command::None) {
            options.command = command_named(argument);
            status = options.command == Command::None
                         ? usage_error(err, "unknown command ", argument)
                         : ImageSuccess;
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
        say(err,
            "%s: '%s' is not an address (0x and hexadecimal digits, or decimal digits, from 0 "
            "to 0xFFFFFFFF) (see hexstamp-image --help)",
            option, text);
        return ImageFailed;
    }
    address = *value;
    return ImageSuccess;
}

// FIRST-LAST, each as an address is written.
int read_exclusion(const char* text, std::vector<Range>& excluded, std::FILE* err) {
    const char* dash = std::strchr(text, '-');
    if (dash == nullptr) {
        say(err, "--exclude: '%s' is not FIRST-LAST, two addresses (see hexstamp-image --help)",
            text);
        return ImageFailed;
    }
    const std::string first(text, dash);
    Range range;
    int status = read_address("--exclude", first.c_str(), range.first, err);
    status = status == ImageSuccess ? read_address("--exclude", dash + 1, range.last, err) : status;
    if (status == ImageSuccess && range.first > range.last) {
        say(err, "--exclude: 0x%08X is above 0x%08X (see hexstamp-image --help)",
            unsigned{range.first}, unsigned{range.last});
        status = ImageFailed;
    }
    excluded.push_back(range);
    return status;
}

int check_range(Options& options, std::FILE* err) {
    int status = read_address("--first", options.first, options.range.first, err);
    if (status == ImageSuccess) {
        status = read_address("--last", options.last, options.range.last, err);
    }
    if (status == ImageSuccess && options.range.first > options.range.last) {
        say(err, "--first 0x%08X is above --last 0x%08X (see hexstamp-image --help)",
            unsigned{options.range.first}, unsigned{options.range.last});
        status = ImageFailed;
    }
    const std::uint64_t length = std::uint64_t{options.range.last} - options.range.first + 1;
    if (status == ImageSuccess && length > MaxStampLength) {
        say(err,
            "the range 0x%08X-0x%08X holds %llu bytes, but a stamp holds 1 to %zu (see "
            "hexstamp-image --help)",
            unsigned{options.range.first}, unsigned{options.range.last},
            static_cast<unsigned long long>(length), MaxStampLength);
        status = ImageFailed;
    }
    return status;
}

// The first combination of options that does not go together, or null.
const char* mismatch(const Options& options) {
    const int sources = (options.first != nullptr || options.last != nullptr ? 1 : 0) +
                        (options.section != nullptr ? 1 : 0) + (options.symbol != nullptr ? 1 : 0);
    const bool stamp = options.command == Command::Stamp;
    const bool verify = options.command == Command::Verify;
    const bool board = options.target != nullptr;
    const std::size_t images = options.images.size();
    const struct {
        bool wrong;
        const char* why;
    } rules[] = {
        {options.command == Command::None, "no command: give stamp, show or verify"},
        {board && stamp, "--target goes with show and verify"},
        {options.crc && (!verify || !board), "--crc goes with verify --target"},
        {verify && board && images != 1, "verify --target compares the board with one IMAGE"},
        {verify && !board && images < 1,
         "verify checks IMAGE, or compares it with the board or OTHER images"},
        {!options.excluded_text.empty() && (!verify || (!board && images < 2)),
         "--exclude goes with verify --target and verify IMAGE OTHER"},
        {options.if_declared && !stamp, "--if-declared goes with stamp"},
        {images == 0 && !board, "no IMAGE given"},
        {board && images > 1, "show --target compares the board with one IMAGE at most"},
        {options.output != nullptr && (!stamp || images > 1),
         "--output goes with stamp and one IMAGE"},
        {options.output != nullptr && std::strcmp(options.output, "-") == 0,
         "--output -: a stamped image goes to a file, not to standard output"},
        {options.json && stamp, "--json goes with show and verify"},
        {options.timeout != nullptr && !board, "--timeout goes with --target"},
        {sources > 1, "give one of --first and --last, --section or --symbol"},
        {(options.first == nullptr) != (options.last == nullptr), "--first and --last go together"},
    };
    for (const auto& rule : rules) {
        if (rule.wrong) {
            return rule.why;
        }
    }
    return nullptr;
}

// Whole seconds, from 1 to a day.
int read_timeout(const char* text, unsigned& seconds, std::FILE* err) {
    const std::size_t digits = std::strspn(text, "0123456789");
    const unsigned long value =
        digits > 0 && digits <= 5 && text[digits] == '\0' ? std::strtoul(text, nullptr, 10) : 0;
    if (value < 1 || value > 86400) {
        say(err,
            "--timeout: '%s' is not a number of seconds from 1 to 86400 (see hexstamp-image "
            "--help)",
            text);
        return ImageFailed;
    }
    seconds = static_cast<unsigned>(value);
    return ImageSuccess;
}

int check_options(Options& options, std::FILE* err) {
    if (const char* why = mismatch(options)) {
        return usage_error(err, why);
    }
    if (options.target != nullptr && !parse_target(options.target, options.board, err)) {
        return ImageFailed;
    }
    int status = options.first != nullptr ? check_range(options, err) : ImageSuccess;
    if (status == ImageSuccess && options.base != nullptr) {
        status = read_address("--base", options.base, options.base_address, err);
    }
    if (status == ImageSuccess && options.timeout != nullptr) {
        status = read_timeout(options.timeout, options.timeout_seconds, err);
    }
    for (const char* text : options.excluded_text) {
        status = status == ImageSuccess ? read_exclusion(text, options.excluded, err) : status;
    }
    return status;
}

} // namespace

int read_options(int argc, const char* const* argv, Options& options, std::FILE* err) {
    const int status = take_arguments(argc, argv, options, err);
    const bool informs = options.command == Command::Help || options.command == Command::Version;
    return status == ImageSuccess && !informs ? check_options(options, err) : status;
}

void print_help(std::FILE* out) {
    std::fputs(Usage, out);
    std::fputs(Commands, out);
    print_wrapped(formats_text(), out);
    std::fputs(Ranges, out);
}

void print_version(std::FILE* out) {
    std::fputs("hexstamp-image " HEXSTAMP_VERSION "\n", out);
}

} // namespace hexstamp::image
