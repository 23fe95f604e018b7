// Drives the whole run with arbitrary argument vectors: the fuzz input is split at NUL
// bytes into up to four arguments, the invocation name first. A fourth argument, which the
// tool ignores, is also SOURCE_DATE_EPOCH, as hexstamp-reproducible reads it.
// An input that starts with "image" and a NUL drives hexstamp-image instead: the byte after
// them chooses the command and the range, and the rest is the image file, of any format.
// One that starts with "gdb" and a NUL is what a debug server says to the client that reads
// a board, a few bytes at a time.
#include "cli/run.hpp"
#include "gdb/client.hpp"
#include "image_cli/run_image.hpp"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <string>
#include <vector>

namespace {

constexpr std::time_t FixedClock = 1709967902; // 2024-03-09 07:05:02 UTC

const char* source_date_epoch = nullptr;

void check(bool invariant) {
    if (!invariant) {
        std::abort();
    }
}

std::string drain(std::FILE* stream, char*& buffer, std::size_t& size) {
    std::fclose(stream);
    std::string text(buffer, size);
    std::free(buffer);
    return text;
}

unsigned hex_pair(const std::string& line, std::size_t at) {
    return static_cast<unsigned>(std::stoul(line.substr(at, 2), nullptr, 16));
}

// One record line: start code, hexadecimal pairs, a byte count that matches and a
// checksum that brings the sum to 0 modulo 256. Returns the record type.
unsigned check_record(const std::string& line) {
    check(line.size() >= 11 && line.size() % 2 == 1 && line[0] == ':');
    check(line.find_first_not_of("0123456789ABCDEF", 1) == std::string::npos);
    unsigned sum = 0;
    for (std::size_t at = 1; at < line.size(); at += 2) {
        sum += hex_pair(line, at);
    }
    check(sum % 256 == 0 && hex_pair(line, 1) * 2 + 11 == line.size());
    return hex_pair(line, 7);
}

// A stamp file: an optional Extended Linear Address record, one data record of 1 to 16
// bytes and the end-of-file record, every line ended by a newline.
void check_hex_file(const std::string& out) {
    std::vector<std::string> lines;
    for (std::size_t begin = 0, end; begin < out.size(); begin = end + 1) {
        end = out.find('\n', begin);
        check(end != std::string::npos);
        lines.push_back(out.substr(begin, end - begin));
    }
    check(lines.size() == 2 || lines.size() == 3);
    check(lines.size() == 2 || check_record(lines[0]) == 4);
    const std::string& data = lines[lines.size() - 2];
    check(check_record(data) == 0 && hex_pair(data, 1) >= 1 && hex_pair(data, 1) <= 16);
    check(lines.back() == ":00000001FF");
}

struct Captured {
    int status;
    std::string out;
    std::string err;
};

// Runs `run(out, err)` with both streams in memory.
template <typename Run> Captured capture(Run run) {
    char* out_buffer = nullptr;
    char* err_buffer = nullptr;
    std::size_t out_size = 0;
    std::size_t err_size = 0;
    std::FILE* out = open_memstream(&out_buffer, &out_size);
    std::FILE* err = open_memstream(&err_buffer, &err_size);
    const int status = run(out, err);
    return {status, drain(out, out_buffer, out_size), drain(err, err_buffer, err_size)};
}

Captured run_image(std::vector<const char*> argv) {
    const hexstamp::TimeSource time{[]() -> std::optional<std::time_t> { return FixedClock; },
                                    [](const char*) -> const char* { return "1709967902"; }};
    return capture([&](std::FILE* out, std::FILE* err) {
        return hexstamp::image::run_image(static_cast<int>(argv.size()), argv.data(), out, err,
                                          time);
    });
}

std::string file_contents(const std::string& path) {
    std::string text;
    std::FILE* file = std::fopen(path.c_str(), "rb");
    for (int c = file != nullptr ? std::fgetc(file) : EOF; c != EOF; c = std::fgetc(file)) {
        text.push_back(static_cast<char>(c));
    }
    if (file != nullptr) {
        std::fclose(file);
    }
    return text;
}

std::size_t entries(const std::string& folder) {
    std::size_t count = 0;
    DIR* listing = opendir(folder.c_str());
    for (const dirent* entry = readdir(listing); entry != nullptr; entry = readdir(listing)) {
        count += entry->d_name[0] != '.' ? 1 : 0;
    }
    closedir(listing);
    return count;
}

// A refused stamp leaves the image as it was and nothing beside it; a stamp that was written
// reads back as the run's moment.
void fuzz_image(std::uint8_t choice, const std::uint8_t* image, std::size_t size) {
    static const std::string folder = [] {
        char name[] = "/tmp/hexstamp_fuzz_XXXXXX";
        return std::string(mkdtemp(name));
    }();
    static const std::string path = folder + "/image";
    // libFuzzer ends by exit(): the folder goes with the process.
    static const int removed_at_exit = std::atexit([] {
        std::remove(path.c_str());
        std::remove(folder.c_str());
    });
    (void)removed_at_exit;
    const std::string original(reinterpret_cast<const char*>(image), size);
    std::FILE* file = std::fopen(path.c_str(), "wb");
    std::fwrite(image, 1, size, file);
    std::fclose(file);

    std::vector<const char*> argv = {"hexstamp-image", (choice & 1u) != 0 ? "show" : "stamp"};
    const char* const ranges[][4] = {{"--first", "0x40", "--last", "0x46"},
                                     {"--first", "0xFFFE", "--last", "0x10003"},
                                     {"--section", ".hexstamp", nullptr, nullptr},
                                     {"--symbol", "stamp", nullptr, nullptr}};
    for (const char* word : ranges[(choice >> 1u) & 3u]) {
        if (word != nullptr) {
            argv.push_back(word);
        }
    }
    if ((choice & 8u) != 0) {
        argv.insert(argv.end(), {"--base", "0x20"});
    }
    argv.push_back(path.c_str());
    const Captured first = run_image(argv);
    check(first.status >= 0 && first.status <= 2 && entries(folder) == 1);
    check(first.status != 1 || argv[1] == std::string("show"));
    if (argv[1] == std::string("stamp") && first.status != 0) {
        check(file_contents(path) == original);
    }
    if (argv[1] == std::string("stamp") && first.status == 0) {
        argv[1] = "show";
        const Captured shown = run_image(argv);
        // What the image records of its build may follow the stamp: " (MCUboot image ...)".
        const std::string stamp = shown.out.substr(0, shown.out.find(" ("));
        check(shown.status == 0 && shown.out.size() >= 3 && shown.out.back() == '\n' &&
              std::string("2024-03-09 07:05:02\n").find(stamp) != std::string::npos);
    }
}

// Gives the server's bytes in pieces whose sizes the bytes choose, then says nothing more.
class ScriptedServer : public hexstamp::gdb::Stream {
  public:
    ScriptedServer(const std::uint8_t* bytes, std::size_t size) : bytes_(bytes), size_(size) {}
    long read(char* into, std::size_t room, int) override {
        if (at_ >= size_) {
            return -1;
        }
        const std::size_t count = std::min({room, size_ - at_, std::size_t{bytes_[at_] % 64u} + 1});
        std::memcpy(into, bytes_ + at_, count);
        at_ += count;
        return static_cast<long>(count);
    }
    bool write(const char* bytes, std::size_t size) override {
        sent_.append(bytes, size);
        return true;
    }
    const std::string& sent() const { return sent_; }

  private:
    const std::uint8_t* bytes_;
    std::size_t size_;
    std::size_t at_ = 0;
    std::string sent_;
};

// Whatever the server says, the client ends, sends only the packets that read, compare and
// resume a board, and reads no more bytes than asked for.
void fuzz_gdb(const std::uint8_t* data, std::size_t size) {
    ScriptedServer server(data, size);
    std::uint8_t bytes[16] = {};
    hexstamp::gdb::Client client(server, 1000);
    bool has_crc = false;
    std::uint32_t crc = 0;
    if (client.start() && client.read(0x20000000, sizeof bytes, bytes)) {
        client.crc(0x20000000, sizeof bytes, has_crc, crc);
    }
    check(client.outcome().reply.size() <= hexstamp::gdb::MaxReplyKept);
    client.leave();
    const std::string& sent = server.sent();
    for (std::size_t start = sent.find('$'); start != std::string::npos;
         start = sent.find('$', start + 1)) {
        const std::string packet = sent.substr(start + 1, sent.find('#', start) - start - 1);
        check(packet == "qSupported" || packet == "?" || packet == "c" || packet == "D" ||
              packet == "vAttach;1" || packet == "qRcmd,7377645f7363616e" ||
              packet == "qRcmd,737764705f7363616e" || packet == "qCRC:20000000,10" ||
              (packet[0] == 'm' && packet.find(',') != std::string::npos));
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size > 6 && std::memcmp(data, "image", 6) == 0) {
        fuzz_image(data[6], data + 7, size - 7);
        return 0;
    }
    if (size >= 4 && std::memcmp(data, "gdb", 4) == 0) {
        fuzz_gdb(data + 4, size - 4);
        return 0;
    }
    std::vector<std::string> arguments;
    for (std::size_t begin = 0; begin < size && arguments.size() < 4;) {
        const void* nul = std::memchr(data + begin, 0, size - begin);
        const std::size_t end =
            nul ? static_cast<std::size_t>(static_cast<const std::uint8_t*>(nul) - data) : size;
        arguments.emplace_back(reinterpret_cast<const char*>(data + begin), end - begin);
        begin = end + 1;
    }
    std::vector<const char*> argv;
    for (const std::string& argument : arguments) {
        argv.push_back(argument.c_str());
    }
    argv.push_back(nullptr);
    source_date_epoch = arguments.size() == 4 ? argv[3] : nullptr;

    const hexstamp::TimeSource time{[]() -> std::optional<std::time_t> { return FixedClock; },
                                    [](const char*) -> const char* { return source_date_epoch; }};
    const Captured run = capture([&](std::FILE* out, std::FILE* err) {
        return hexstamp::run(static_cast<int>(arguments.size()), argv.data(), out, err, time);
    });
    const int status = run.status;
    const std::string& out_text = run.out;
    const std::string& err_text = run.err;

    check((status >= 0 && status <= 7) || status == 255);
    const std::string closing = "Exit with code " + std::to_string(status) + "\n";
    check(err_text.size() >= closing.size() &&
          err_text.compare(err_text.size() - closing.size(), closing.size(), closing) == 0);
    if (status == 0) {
        check_hex_file(out_text);
    } else {
        check(out_text.empty());
    }
    return 0;
}
