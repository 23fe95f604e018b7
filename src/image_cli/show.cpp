#include "image_cli/show.hpp"

#include "hexstamp/stamp.h"
#include "image/report.hpp"
#include "image_cli/json.hpp"
#include "image_cli/status.hpp"

#include <cstring>

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
    if (patch.disagreement != nullptr) {
        return patch.disagreement;
    }
    if (all_bytes(patch, 0xFF)) {
        return "erased, all FF";
    }
    if (all_bytes(patch, 0x00)) {
        return "not stamped, all zero";
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

// What a stamp's bytes say: the stamp as text, when valid.
struct Examined {
    bool valid = false;
    char text[32] = "";
};

Examined examine(const Patch& patch) {
    Examined examined;
    hexstamp_time time{};
    examined.valid = patch.missing() == 0 && patch.disagreement == nullptr &&
                     hexstamp_decode(patch.found, patch.range.length(), &time) == 1;
    if (examined.valid) {
        stamp_text(patch, time, examined.text);
    }
    return examined;
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

void print_json_stamp(const Examined& examined, std::FILE* out) {
    if (examined.valid) {
        std::fprintf(out, "\"%s\"", examined.text);
    } else {
        std::fprintf(out, "null");
    }
}

// The object of one file or board, left open for more members.
void print_json_start(const Source& source, const char* key, const Examined& examined,
                      std::FILE* out) {
    const Patch& patch = *source.patch;
    std::fprintf(out, "{\"%s\": ", key);
    print_json_string(source.name, out);
    std::fprintf(out, ", \"first\": \"0x%08X\", \"last\": \"0x%08X\", \"bytes\": ",
                 unsigned{patch.range.first}, unsigned{patch.range.last});
    if (patch.missing() > 0) {
        std::fprintf(out, "null");
    } else {
        std::fputc('"', out);
        print_bytes(patch, out, "");
        std::fputc('"', out);
    }
    std::fprintf(out, ", \"valid\": %s, \"stamp\": ", examined.valid ? "true" : "false");
    print_json_stamp(examined, out);
}

void print_no_stamp(const Source& source, std::FILE* err) {
    const Patch& patch = *source.patch;
    say_prefix(err);
    std::fprintf(err, "%s: no stamp at 0x%08X-0x%08X: %s: ", source.name,
                 unsigned{patch.range.first}, unsigned{patch.range.last}, why_not(patch));
    print_bytes(patch, err, " ");
    std::fprintf(err, "\n");
}

bool same_stamp(const Patch& one, const Patch& other) {
    return std::memcmp(one.found, other.found, one.range.length()) == 0;
}

// "app.hex holds 2024-03-08 17:00:00, app.elf holds 2024-03-09 07:05:02".
void print_difference(const Source& one, const Examined& one_examined, const Source& other,
                      const Examined& other_examined, std::FILE* err) {
    say(err, "%s holds %s%s%s, %s holds %s%s%s", one.name,
        one_examined.valid ? one_examined.text : "no stamp (",
        one_examined.valid ? "" : why_not(*one.patch), one_examined.valid ? "" : ")", other.name,
        other_examined.valid ? other_examined.text : "no stamp (",
        other_examined.valid ? "" : why_not(*other.patch), other_examined.valid ? "" : ")");
}

} // namespace

bool valid_stamp(const Patch& patch, char (&text)[32]) {
    const Examined examined = examine(patch);
    std::snprintf(text, sizeof text, "%s", examined.text);
    return examined.valid;
}

int show_stamps(const std::vector<Source>& images, bool json, std::FILE* out, std::FILE* err) {
    const bool several = images.size() > 1;
    int status = ImageSuccess;
    const Source* reference = nullptr;
    Examined reference_examined;
    for (const Source& image : images) {
        const Examined examined = examine(*image.patch);
        const std::string& identity = image.patch->identity;
        if (json) {
            print_json_start(image, "file", examined, out);
            std::fprintf(out, "%s%s}\n", identity.empty() ? "" : ", ",
                         image.patch->identity_json.c_str());
        } else if (examined.valid) {
            // What the image records of its build goes beside the stamp, for comparing.
            std::fprintf(out, "%s%s%s%s%s%s\n", several ? image.name : "", several ? ": " : "",
                         examined.text, identity.empty() ? "" : " (", identity.c_str(),
                         identity.empty() ? "" : ")");
        }
        if (!examined.valid) {
            print_no_stamp(image, err);
            status = NoStamp;
        } else if (reference == nullptr) {
            reference = &image;
            reference_examined = examined;
        } else if (!same_stamp(*reference->patch, *image.patch)) {
            print_difference(image, examined, *reference, reference_examined, err);
            status = NoStamp;
        }
    }
    return status;
}

int show_board(const Source& board, const Source* image, bool json, std::FILE* out,
               std::FILE* err) {
    const Examined examined = examine(*board.patch);
    const Examined image_examined = image != nullptr ? examine(*image->patch) : Examined{};
    const bool matches = image == nullptr || (examined.valid && image_examined.valid &&
                                              same_stamp(*board.patch, *image->patch));
    if (json) {
        print_json_start(board, "target", examined, out);
        if (image != nullptr) {
            std::fprintf(out, ", \"image\": ");
            print_json_string(image->name, out);
            std::fprintf(out, ", \"image_stamp\": ");
            print_json_stamp(image_examined, out);
            std::fprintf(out, ", \"matches\": %s", matches ? "true" : "false");
        }
        std::fprintf(out, "}\n");
    } else if (examined.valid) {
        std::fprintf(out, "%s\n", examined.text);
    }
    if (image == nullptr && !examined.valid) {
        print_no_stamp(board, err);
    } else if (!matches) {
        print_difference(board, examined, *image, image_examined, err);
    }
    return examined.valid && matches ? ImageSuccess : NoStamp;
}

} // namespace hexstamp::image
