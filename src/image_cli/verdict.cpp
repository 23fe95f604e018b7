#include "image_cli/verdict.hpp"

#include "image/report.hpp"
#include "image_cli/json.hpp"
#include "image_cli/status.hpp"

#include <algorithm>

namespace hexstamp::image {

namespace {

// "48,212": counts of bytes as people read them.
void grouped(std::uint64_t value, char (&text)[32]) {
    char digits[24];
    const int length =
        std::snprintf(digits, sizeof digits, "%llu", static_cast<unsigned long long>(value));
    std::size_t at = 0;
    for (int index = 0; index < length; ++index) {
        if (index > 0 && (length - index) % 3 == 0) {
            text[at++] = ',';
        }
        text[at++] = digits[index];
    }
    text[at] = '\0';
}

void print_json(const char* name, bool board, const char* image_name,
                const std::vector<Compared>& result, bool equal, const char* stamp,
                std::FILE* out) {
    std::fprintf(out, "{\"%s\": ", board ? "target" : "file");
    print_json_string(name, out);
    std::fprintf(out, ", \"image\": ");
    print_json_string(image_name, out);
    std::fprintf(out, ", \"equal\": %s, \"stamp\": ", equal ? "true" : "false");
    if (stamp != nullptr) {
        std::fprintf(out, "\"%s\"", stamp);
    } else {
        std::fprintf(out, "null");
    }
    std::fprintf(out, ", \"regions\": [");
    for (std::size_t index = 0; index < result.size(); ++index) {
        const Compared& region = result[index];
        std::fprintf(out,
                     "%s{\"first\": \"0x%08llX\", \"last\": \"0x%08llX\", \"method\": \"%s\", "
                     "\"equal\": %s, \"first_difference\": ",
                     index > 0 ? ", " : "", static_cast<unsigned long long>(region.first),
                     static_cast<unsigned long long>(region.last), region.by_crc ? "crc" : "read",
                     region.equal ? "true" : "false");
        if (region.equal) {
            std::fprintf(out, "null}");
        } else {
            std::fprintf(out, "\"0x%08llX\"}", static_cast<unsigned long long>(region.difference));
        }
    }
    std::fprintf(out, "]}\n");
}

void print_difference(const char* name, bool board, const char* image_name, const Compared& region,
                      std::FILE* err) {
    char found[16] = "no byte there";
    if (region.found >= 0) {
        std::snprintf(found, sizeof found, "%02X", static_cast<unsigned>(region.found));
    }
    say(err, "%s differs from %s at 0x%08llX: %s, %s has %02X", name, image_name,
        static_cast<unsigned long long>(region.difference), found, image_name,
        unsigned{region.expected});
    if (board && region.may_be_ram) {
        say(err,
            "note: 0x%08llX-0x%08llX is a writable segment of %s loaded where it runs: it may be "
            "RAM the running program changed",
            static_cast<unsigned long long>(region.first),
            static_cast<unsigned long long>(region.last), image_name);
    }
}

} // namespace

int print_verdict(const char* name, bool board, const char* image_name, const Contents& image,
                  const std::vector<Compared>& result, const char* stamp, bool json, std::FILE* out,
                  std::FILE* err) {
    const bool equal = std::all_of(result.begin(), result.end(),
                                   [](const Compared& region) { return region.equal; });
    if (json) {
        print_json(name, board, image_name, result, equal, stamp, out);
    } else if (equal) {
        char bytes[32];
        grouped(image.byte_count(), bytes);
        std::fprintf(out, "%s holds %s: %zu region%s, %s byte%s", name, image_name, result.size(),
                     result.size() == 1 ? "" : "s", bytes, image.byte_count() == 1 ? "" : "s");
        if (stamp != nullptr) {
            std::fprintf(out, " (stamp %s)", stamp);
        }
        std::fprintf(out, "\n");
    }
    for (const Compared& region : result) {
        if (!region.equal) {
            print_difference(name, board, image_name, region, err);
        }
    }
    return equal ? ImageSuccess : NoStamp;
}

} // namespace hexstamp::image
