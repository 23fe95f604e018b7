#include "image_cli/json.hpp"

namespace hexstamp::image {

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

} // namespace hexstamp::image
