#pragma once

#include "image/checks.hpp"
#include "image/patch.hpp"
#include "image/report.hpp"
#include "image/text_lines.hpp"
#include "image/text_output.hpp"

#include <cstdio>

// The skeleton every text format shares: read a line; leave it as it was, or write it anew
// with the range's bytes in the line's own case; add records for the bytes no line held
// before the end. Each format keeps only its records' syntax.
namespace hexstamp::image {

// The line ending and letter case that lines added to a text file take from the file.
struct TextStyle {
    char ending[3] = "\n";
    Letters letters = Letters::Upper;
    void learn_ending(const Line& line);
    void learn(const Line& line, const TextRecord& record);
    void write_ending(std::FILE* out) const { std::fputs(ending, out); }
};

// A text image as its lines pass.
struct TextImage {
    TextImage(std::FILE* in, std::FILE* out, Patch& patch_, const Report& report_, Checks* checks_)
        : text(in, out), patch(patch_), report(report_), checks(checks_) {}
    TextOutput text;
    Patch& patch;
    const Report& report;
    Checks* checks;
    TextStyle style;
    bool last_line_ended = true; // the last line read had a line ending
    // Whether the bytes of the range no line held are to be added.
    bool adding() const { return text.writing() && patch.stamp != nullptr; }
    // Ends a line written anew as `line` ended.
    void end_as(const Line& line) { std::fwrite(line.ending, 1, line.ending_length, text.put()); }
};

// What a text format knows of its own lines.
class TextSyntax {
  public:
    // A line that is not blank: copied or written anew through `image`; false when refused.
    virtual bool line(TextImage& image, const Line& line) = 0;
    // After the last line: false, with the reason reported, when the file did not end as the
    // format ends.
    virtual bool end(TextImage& image) = 0;

  protected:
    ~TextSyntax() = default;
};

// Reads a text image line by line; blank lines stay as they were, the others go to `syntax`.
// With `out`, writes the new file there.
bool process_text(std::FILE* in, std::FILE* out, Patch& patch, const Report& report,
                  TextSyntax& syntax, Checks* checks);

// Calls `add(address, index, count)` for each run of the range's bytes that no record held,
// split so that no run crosses a 64 KiB boundary.
template <typename Add> void for_each_missing_run(const Patch& patch, Add add) {
    std::size_t index = 0;
    while (index < patch.range.length()) {
        if (patch.present[index]) {
            ++index;
            continue;
        }
        const std::uint32_t address = patch.range.first + static_cast<std::uint32_t>(index);
        std::size_t count = 1;
        while (index + count < patch.range.length() && !patch.present[index + count] &&
               ((address + count) & 0xFFFFu) != 0) {
            ++count;
        }
        add(address, index, count);
        index += count;
    }
}

// Whether the first line of the file that is not blank passes `check(line, report)`, read with
// `report`; the file is left at its start. A text format is told by its first line.
template <typename Check> bool first_line_passes(std::FILE* in, const Report& report, Check check) {
    bool passes = false;
    {
        LineReader reader(in, report);
        Line line;
        bool found = false;
        while (!found && reader.next(line)) {
            found = !is_blank(line);
        }
        passes = found && check(line, report);
    }
    return std::fseek(in, 0, SEEK_SET) == 0 && passes;
}

} // namespace hexstamp::image
