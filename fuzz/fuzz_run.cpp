// Drives the whole run with arbitrary argument vectors: the fuzz input is split at NUL
// bytes into up to four arguments, the invocation name first. A fourth argument, which the
// tool ignores, is also SOURCE_DATE_EPOCH, as hexstamp-reproducible reads it.
#include "cli/run.hpp"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
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

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
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

    char* out_buffer = nullptr;
    char* err_buffer = nullptr;
    std::size_t out_size = 0;
    std::size_t err_size = 0;
    std::FILE* out = open_memstream(&out_buffer, &out_size);
    std::FILE* err = open_memstream(&err_buffer, &err_size);
    const hexstamp::TimeSource time{[]() -> std::optional<std::time_t> { return FixedClock; },
                                    [](const char*) -> const char* { return source_date_epoch; }};
    const int status =
        hexstamp::run(static_cast<int>(arguments.size()), argv.data(), out, err, time);
    const std::string out_text = drain(out, out_buffer, out_size);
    const std::string err_text = drain(err, err_buffer, err_size);

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
