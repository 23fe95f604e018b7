#pragma once

#include "formats/format.hpp"
#include "image/text_image.hpp"

#include <cstring>
#include <string>

// How a text format is told: by its first line that is not blank, which must be a whole, valid
// record of the format; a binary file may start with the same character by chance.
namespace hexstamp::image {

// Whether the first line that is not blank passes `parse(line, report)`.
template <typename Parse> bool starts_with_record(const Probe& probe, Parse parse) {
    const Report quiet{nullptr, probe.path};
    return first_line_passes(probe.in, quiet, parse);
}

// Whether the file's first characters that are not blank are `lead` and, when `digit`, a
// decimal digit, while its first line is no record (why, naming the file and line, in `why`).
template <typename Parse>
bool starts_like(const Probe& probe, char lead, bool digit, Parse parse, std::string& why) {
    std::size_t at = 0;
    while (at < probe.read && probe.start[at] != '\0' &&
           std::strchr(" \t\r\n\v\f", probe.start[at]) != nullptr) {
        ++at;
    }
    const bool leads = at < probe.read && probe.start[at] == lead &&
                       (!digit || (at + 1 < probe.read && probe.start[at + 1] >= '0' &&
                                   probe.start[at + 1] <= '9'));
    if (!leads) {
        return false;
    }
    const Report capturing{nullptr, probe.path, &why};
    return !first_line_passes(probe.in, capturing, parse);
}

} // namespace hexstamp::image
