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

void print_json_stamp(const char* stamp, std::FILE* out) {
    if (stamp != nullptr) {
        std::fprintf(out, "\"%s\"", stamp);
    } else {
        std::fprintf(out, "null");
    }
}

void print_json(const Verdict& verdict, bool equal, std::FILE* out) {
    std::fprintf(out, "{\"%s\": ", verdict.board ? "target" : "file");
    print_json_string(verdict.name, out);
    std::fprintf(out, ", \"image\": ");
    print_json_string(verdict.image_name, out);
    std::fprintf(out, ", \"equal\": %s, \"stamp\": ", equal ? "true" : "false");
    print_json_stamp(verdict.stamp, out);
    std::fprintf(out, ", \"regions\": [");
    for (std::size_t index = 0; index < verdict.result.size(); ++index) {
        const Compared& region = verdict.result[index];
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
    std::fprintf(out, "], \"excluded\": [");
    for (std::size_t index = 0; index < verdict.excluded.size(); ++index) {
        const Excluded& left_out = verdict.excluded[index];
        std::fprintf(out, "%s{\"first\": \"0x%08X\", \"last\": \"0x%08X\", \"bytes\": %llu}",
                     index > 0 ? ", " : "", unsigned{left_out.range.first},
                     unsigned{left_out.range.last},
                     static_cast<unsigned long long>(left_out.bytes));
    }
    std::fprintf(out, "]}\n");
}

void print_difference(const Verdict& verdict, const Compared& region, std::FILE* err) {
    char found[16] = "no byte there";
    if (region.found >= 0) {
        std::snprintf(found, sizeof found, "%02X", static_cast<unsigned>(region.found));
    }
    say(err, "%s differs from %s at 0x%08llX: %s, %s has %02X", verdict.name, verdict.image_name,
        static_cast<unsigned long long>(region.difference), found, verdict.image_name,
        unsigned{region.expected});
    if (verdict.board && region.may_be_ram) {
        say(err,
            "note: 0x%08llX-0x%08llX is a writable segment of %s loaded where it runs: it may be "
            "RAM the running program changed; --exclude 0x%08llX-0x%08llX leaves it out",
            static_cast<unsigned long long>(region.first),
            static_cast<unsigned long long>(region.last), verdict.image_name,
            static_cast<unsigned long long>(region.first),
            static_cast<unsigned long long>(region.last));
    }
}

} // namespace

int print_verdict(const Verdict& verdict, bool json, std::FILE* out, std::FILE* err) {
    const bool equal = std::all_of(verdict.result.begin(), verdict.result.end(),
                                   [](const Compared& region) { return region.equal; });
    const std::uint64_t count = verdict.image.byte_count();
    if (json) {
        print_json(verdict, equal, out);
    } else if (equal) {
        char bytes[32];
        grouped(count, bytes);
        std::fprintf(out, "%s holds %s: %zu region%s, %s byte%s", verdict.name, verdict.image_name,
                     verdict.result.size(), verdict.result.size() == 1 ? "" : "s", bytes,
                     count == 1 ? "" : "s");
        if (verdict.stamp != nullptr) {
            std::fprintf(out, " (stamp %s)", verdict.stamp);
        }
        std::uint64_t left_out = 0;
        for (const Excluded& excluded : verdict.excluded) {
            left_out += excluded.bytes;
        }
        if (!verdict.excluded.empty()) {
            grouped(left_out, bytes);
            std::fprintf(out, "; %s byte%s left out", bytes, left_out == 1 ? "" : "s");
        }
        std::fprintf(out, "\n");
    }
    for (const Compared& region : verdict.result) {
        if (!region.equal) {
            print_difference(verdict, region, err);
        }
    }
    return equal ? ImageSuccess : NoStamp;
}

int print_checks(const char* name, const char* format, const Checks& checks, bool json,
                 std::FILE* out, std::FILE* err) {
    char all[32];
    grouped(checks.passed + checks.failed, all);
    if (json) {
        std::fprintf(out, "{\"file\": ");
        print_json_string(name, out);
        std::fprintf(out, ", \"format\": ");
        print_json_string(format, out);
        std::fprintf(out, ", \"checks\": ");
        print_json_string(checks.what.c_str(), out);
        std::fprintf(out, ", \"right\": %llu, \"wrong\": %llu, \"whole\": %s, \"first_wrong\": ",
                     static_cast<unsigned long long>(checks.passed),
                     static_cast<unsigned long long>(checks.failed),
                     checks.failed == 0 ? "true" : "false");
        if (checks.failed > 0) {
            print_json_string(checks.first_failure.c_str(), out);
        } else {
            std::fprintf(out, "null");
        }
        std::fprintf(out, "}\n");
    } else if (checks.what.empty()) {
        std::fprintf(out, "%s: %s carries no checksum, CRC or hash of its own: nothing to check\n",
                     name, format);
    } else if (checks.failed == 0) {
        std::fprintf(out, "%s: whole by its own checks: %s (%s, all right)\n", name,
                     checks.what.c_str(), all);
    }
    if (checks.failed > 0) {
        say(err, "%s; %llu of %s checks failed (%s)", checks.first_failure.c_str(),
            static_cast<unsigned long long>(checks.failed), all, checks.what.c_str());
    }
    return checks.failed == 0 ? ImageSuccess : NoStamp;
}

} // namespace hexstamp::image
