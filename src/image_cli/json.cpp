#include "image_cli/json.hpp"

namespace hexstamp::image {

namespace {

// The length of the UTF-8 sequence at `text`, or 0 when there is none: a byte out of place,
// an overlong form, a surrogate or a code point past U+10FFFF. A NUL ends any sequence.
std::size_t utf8_length(const unsigned char* text) {
    const unsigned lead = text[0];
    const std::size_t length = lead < 0x80           ? 1
                               : (lead >> 5u) == 6u  ? 2
                               : (lead >> 4u) == 14u ? 3
                               : (lead >> 3u) == 30u ? 4
                                                     : 0;
    unsigned long point = length == 1 ? lead : lead & (0x7Fu >> length);
    for (std::size_t at = 1; at < length; ++at) {
        if ((text[at] & 0xC0u) != 0x80u) {
            return 0;
        }
        point = point << 6u | (text[at] & 0x3Fu);
    }
    const unsigned long least[] = {0, 0, 0x80, 0x800, 0x10000};
    const bool valid =
        point >= least[length] && point <= 0x10FFFF && (point < 0xD800 || point > 0xDFFF);
    return valid ? length : 0;
}

} // namespace

// A file name need not be UTF-8: a byte that is not part of a sequence is written as the
// character Latin-1 gives it, so that the output is always valid JSON.
void print_json_string(const char* text, std::FILE* out) {
    std::fputc('"', out);
    const auto* at = reinterpret_cast<const unsigned char*>(text);
    while (*at != '\0') {
        const std::size_t length = utf8_length(at);
        if (length == 0 || *at < 0x20) {
            std::fprintf(out, "\\u%04X", unsigned{*at});
        } else if (*at == '"' || *at == '\\') {
            std::fprintf(out, "\\%c", *at);
        } else {
            std::fwrite(at, 1, length, out);
        }
        at += length > 0 ? length : 1;
    }
    std::fputc('"', out);
}

} // namespace hexstamp::image
