#include "image/text_image.hpp"

#include <cstring>

namespace hexstamp::image {

void TextStyle::learn_ending(const Line& line) {
    if (line.ending_length > 0) {
        std::memcpy(ending, line.ending, line.ending_length);
        ending[line.ending_length] = '\0';
    }
}

void TextStyle::learn(const Line& line, const TextRecord& record) {
    learn_ending(line);
    if (record.has_letters) {
        letters = record.letters;
    }
}

bool process_text(std::FILE* in, std::FILE* out, Patch& patch, const Report& report,
                  TextSyntax& syntax, Checks* checks) {
    TextImage image(in, out, patch, report, checks);
    LineReader reader(in, report);
    Line line;
    bool ok = true;
    while (ok && reader.next(line)) {
        image.last_line_ended = line.ending_length > 0;
        if (is_blank(line)) {
            image.text.copy(line);
        } else {
            ok = syntax.line(image, line);
        }
    }
    ok = ok && !reader.failed() && syntax.end(image);
    return ok && finish_text(image.text, report);
}

} // namespace hexstamp::image
