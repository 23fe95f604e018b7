#include "image/show.hpp"

#include "hexstamp/stamp.h"
#include "image/command_line.hpp"

namespace hexstamp::image {

namespace {

// "2024-03-09 07:05:02"; a stamp of fewer than 7 bytes gives only its own fields, with the
// same separators ("07:05:02" for 3 bytes).
void stamp_text(const Patch& patch, const hexstamp_time& time, char (&text)[32]) {
    const std::size_t length = patch.range.length();
    if (length >= 7) {
        std::snprintf(text, sizeof text, "%04d-%02d-%02d %02d:%02d:%02d", time.year, time.month,
                      time.day, time.hour, time.minute, time.second);
        return;
    }
    unsigned fields[6] = {};
    for (std::size_t index = 0; index < length; ++index) {
        fields[6 - length + index] = patch.found[index];
    }
    // Valid packed BCD prints in hexadecimal as its decimal digits.
    char full[32];
    std::snprintf(full, sizeof full, "%02X-%02X-%02X %02X:%02X:%02X", fields[0], fields[1],
                  fields[2], fields[3], fields[4], fields[5]);
    std::snprintf(text, sizeof text, "%s", full + 18 - 3 * length);
}

bool all_bytes(const Patch& patch, unsigned value) {
    for (std::size_t index = 0; index < patch.range.length(); ++index) {
        if (patch.found[index] != value) {
            return false;
        }
    }
    return true;
}

// Why bytes that hexstamp_decode refuses are no stamp, in the user's words.
const char* why_not(const Patch& patch) {
    const std::size_t length = patch.range.length();
    if (patch.missing() > 0) {
        return "bytes of the range are not in the image";
    }
    if (all_bytes(patch, 0xFF)) {
        return "erased (all FF)";
    }
    if (all_bytes(patch, 0x00)) {
        return "not stamped (all zero)";
    }
    for (std::size_t index = 0; index + 7 < length; ++index) {
        if (patch.found[index] != 0) {
            return "the padding before the date is not zero";
        }
    }
    for (std::size_t index = 0; index < length; ++index) {
        if ((patch.found[index] >> 4u) > 9 || (patch.found[index] & 0x0Fu) > 9) {
            return "not packed BCD";
        }
    }
    return "a field is out of range";
}

void print_bytes(const Patch& patch, std::FILE* out, const char* separator) {
    for (std::size_t index = 0; index < patch.range.length(); ++index) {
        if (patch.present[index]) {
            std::fprintf(out, "%s%02X", index > 0 ? separator : "", unsigned{patch.found[index]});
        } else {
            std::fprintf(out, "%s--", index > 0 ? separator : "");
        }
    }
}

void print_json_string(const char* text, std::FILE* out) {
    std::fputc('"', out);
    for (; *text != '\0'; ++text) {
        const auto c = static_cast<unsigned char>(*text);
        if (c == '"' || c == '\\') {
            std::fprintf(out, "\\%c", c);
        } else if (c < 0x20) {
            std::fprintf(out, "\\u%04X", unsigned{c});
        } else {
            std::fputc(c, out);
        }
    }
    std::fputc('"', out);
}

void print_json(const Patch& patch, const char* file, const char* stamp, std::FILE* out) {
    std::fprintf(out, "{\"file\": ");
    print_json_string(file, out);
    std::fprintf(out, ", \"first\": \"0x%08X\", \"last\": \"0x%08X\", \"bytes\": ",
                 unsigned{patch.range.first}, unsigned{patch.range.last});
    if (patch.missing() > 0) {
        std::fprintf(out, "null");
    } else {
        std::fputc('"', out);
        print_bytes(patch, out, "");
        std::fputc('"', out);
    }
    std::fprintf(out, ", \"valid\": %s, \"stamp\": ", stamp != nullptr ? "true" : "false");
    if (stamp != nullptr) {
        std::fprintf(out, "\"%s\"}\n", stamp);
    } else {
        std::fprintf(out, "null}\n");
    }
}

} // namespace

int show_stamp(const Patch& patch, const char* file, bool json, std::FILE* out, std::FILE* err) {
    hexstamp_time time{};
    const bool valid =
        patch.missing() == 0 && hexstamp_decode(patch.found, patch.range.length(), &time) == 1;
    char text[32] = "";
    if (valid) {
        stamp_text(patch, time, text);
    }
    if (json) {
        print_json(patch, file, valid ? text : nullptr, out);
    } else if (valid) {
        std::fprintf(out, "%s\n", text);
    }
    if (!valid) {
        std::fprintf(err, "hexstamp-image: %s: no stamp at 0x%08X-0x%08X: %s: ", file,
                     unsigned{patch.range.first}, unsigned{patch.range.last}, why_not(patch));
        print_bytes(patch, err, " ");
        std::fprintf(err, "\n");
    }
    return valid ? ImageSuccess : NoStamp;
}

} // namespace hexstamp::image
