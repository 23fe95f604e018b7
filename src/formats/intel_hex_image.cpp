#include "formats/format.hpp"
#include "formats/text_start.hpp"
#include "image/text_image.hpp"
#include "platform/files.hpp"

#include <algorithm>
#include <cerrno>
#include <cstring>

// Intel HEX: ":", a length, an address, a record type, data and a checksum, in pairs of
// hexadecimal digits; address records give the upper address bits of the data after them.
namespace hexstamp::image {

namespace {

// The base that the address records in force give a data record. Readers differ when both
// kinds appear: GNU objcopy adds the last 02 base to the last 04 base, most others take the
// one that came last. Records this tool adds are placed where every reader agrees.
struct Addressing {
    std::uint32_t segment = 0; // from the last 02 record, in bytes
    std::uint32_t linear = 0;  // from the last 04 record
    bool linear_last = false;

    std::uint32_t base() const { return linear_last ? linear : segment; }
    bool agrees_on(std::uint32_t upper) const {
        return base() == upper && segment + linear == upper;
    }
};

// The number of data bytes each record type other than data must hold; -1 for an unknown type.
int fixed_count(std::uint8_t type) {
    switch (type) {
    case EndOfFileRecord:
        return 0;
    case ExtendedSegmentAddressRecord:
    case ExtendedLinearAddressRecord:
        return 2;
    case StartSegmentAddressRecord:
    case StartLinearAddressRecord:
        return 4;
    default:
        return -1;
    }
}

// A whole, valid record: ':', pairs of digits, a length byte that matches, the checksum, and
// a known type with the count it takes.
bool parse_record(const Line& line, TextRecord& record, const Report& report, Checks* checks) {
    if (line.text[0] != ':') {
        report.error(line.number, "a record starts with ':'");
        return false;
    }
    if (!decode_hex(line, 1, record, report)) {
        return false;
    }
    if (record.count < 5) {
        report.error(line.number, "a record of %zu bytes; the shortest holds 5", record.count);
        return false;
    }
    const std::uint8_t count = record.bytes[0];
    if (record.count != std::size_t{count} + 5) {
        report.error(line.number, "the length byte says %u data bytes, but the record holds %zu",
                     unsigned{count}, record.count - 5);
        return false;
    }
    const std::uint8_t type = record.bytes[3];
    const std::uint8_t expected =
        record_checksum(type, static_cast<std::uint16_t>(record.bytes[1] << 8u | record.bytes[2]),
                        record.bytes + 4, count);
    const bool right = record.bytes[record.count - 1] == expected;
    if (!holds_uncounted(checks, right) &&
        !checked(report, checks, right, "record checksums", line.number,
                 "bad checksum %02X, expected %02X", unsigned{record.bytes[record.count - 1]},
                 unsigned{expected})) {
        return false;
    }
    const int fixed = fixed_count(type);
    if (type != DataRecord && fixed < 0) {
        report.error(line.number, "unknown record type %02X", unsigned{type});
        return false;
    }
    if (type != DataRecord && count != fixed) {
        report.error(line.number, "a record of type %02X holds %d bytes, not %u", unsigned{type},
                     fixed, unsigned{count});
        return false;
    }
    return true;
}

class HexSyntax : public TextSyntax {
  public:
    // Where the records hold an MCUboot image's magic, word-aligned: where an image may start.
    const std::vector<std::uint64_t>& mcuboot_starts() const { return mcuboot_starts_; }

    bool line(TextImage& image, const Line& line) override {
        if (ended_) {
            image.report.error(line.number, "a record after the end-of-file record");
            return false;
        }
        TextRecord record;
        if (!parse_record(line, record, image.report, image.checks)) {
            return false;
        }
        image.style.learn(line, record);
        return record.bytes[3] == DataRecord ? data_record(image, line, record)
                                             : other_record(image, line, record);
    }

    bool end(TextImage& image) override {
        if (!ended_) {
            image.report.error(0, "no end-of-file record (:00000001FF)");
        }
        return ended_;
    }

  private:
    bool data_record(TextImage& image, const Line& line, TextRecord& record) {
        const auto offset = static_cast<std::uint16_t>(record.bytes[1] << 8u | record.bytes[2]);
        const std::uint8_t count = record.bytes[0];
        const std::uint64_t address = std::uint64_t{addressing_.base()} + offset;
        if (count > 0 && address + count - 1 > 0xFFFFFFFFu) {
            image.report.error(line.number, "data at 0x%08llX runs past address 0xFFFFFFFF",
                               static_cast<unsigned long long>(address));
            return false;
        }
        std::uint8_t* data = record.bytes + 4;
        note_mcuboot_starts(address, data, count);
        if (image.patch.visit_record(address, data, count) && image.text.writing()) {
            write_record(image.text.put(), DataRecord, offset, data, count, record.letters);
            image.end_as(line);
        } else {
            image.text.copy(line);
        }
        return true;
    }

    bool other_record(TextImage& image, const Line& line, const TextRecord& record) {
        const std::uint8_t type = record.bytes[3];
        const auto value = static_cast<std::uint32_t>(record.bytes[4] << 8u | record.bytes[5]);
        if (type == ExtendedSegmentAddressRecord) {
            addressing_.segment = value << 4u;
            addressing_.linear_last = false;
        } else if (type == ExtendedLinearAddressRecord) {
            addressing_.linear = value << 16u;
            addressing_.linear_last = true;
        } else if (type == EndOfFileRecord) {
            if (image.adding()) {
                add_missing(image);
            }
            ended_ = true;
        }
        image.text.copy(line);
        return true;
    }

    void write_address_record(TextImage& image, std::uint8_t type, std::uint16_t value) {
        const std::uint8_t bytes[] = {static_cast<std::uint8_t>(value >> 8u),
                                      static_cast<std::uint8_t>(value & 0xFFu)};
        write_record(image.text.put(), type, 0, bytes, 2, image.style.letters);
        image.style.write_ending(image.text.put());
    }

    // The range's bytes that no record held, added before the end-of-file record.
    void add_missing(TextImage& image) {
        for_each_missing_run(image.patch, [&](std::uint32_t address, std::size_t index,
                                              std::size_t count) {
            const std::uint32_t upper = address & 0xFFFF0000u;
            if (!addressing_.agrees_on(upper)) {
                if (addressing_.segment != 0) {
                    write_address_record(image, ExtendedSegmentAddressRecord, 0);
                    addressing_.segment = 0;
                }
                write_address_record(image, ExtendedLinearAddressRecord,
                                     static_cast<std::uint16_t>(upper >> 16u));
                addressing_.linear = upper;
                addressing_.linear_last = true;
            }
            write_record(image.text.put(), DataRecord,
                         static_cast<std::uint16_t>(address & 0xFFFFu), image.patch.stamp + index,
                         static_cast<std::uint8_t>(count), image.style.letters);
            image.style.write_ending(image.text.put());
        });
    }

    void note_mcuboot_starts(std::uint64_t address, const std::uint8_t* data, std::size_t count) {
        for (std::size_t at = (4 - address % 4) % 4; at + 4 <= count; at += 4) {
            if (data[at] == 0x3D && is_mcuboot_magic(data + at)) { // the magic's first byte
                mcuboot_starts_.push_back(address + at);
            }
        }
    }

    Addressing addressing_;
    bool ended_ = false;
    std::vector<std::uint64_t> mcuboot_starts_;
};

bool rewind(std::FILE* file, const Report& report) {
    if (!platform::seek(file, 0)) {
        report.error(0, "cannot read the file again: %s", std::strerror(errno));
        return false;
    }
    return true;
}

// The MCUboot images the file holds (zephyr.signed.hex, a merged HEX): the one that holds the
// range has its version shown and, when stamped, its hash made anew; each one's hash is
// checked. `again` tells whether the file is to be written again with that hash.
bool examine_mcuboot_images(const Job& job, std::vector<std::uint64_t> starts, bool& again) {
    Contents contents;
    Patch reading;
    reading.range = job.patch.range;
    reading.contents = &contents;
    HexSyntax syntax;
    const Report quiet{nullptr, job.report.file};
    Checks counted_once; // verify counted the records' checksums on the first reading
    if (!rewind(job.in, job.report) ||
        !process_text(job.in, nullptr, reading, quiet, syntax,
                      job.checks != nullptr ? &counted_once : nullptr) ||
        !contents.finish()) {
        job.report.error(0, "cannot read the file again");
        return false;
    }
    // The nearest start below the range first: the image that holds it.
    std::sort(starts.rbegin(), starts.rend());
    bool held = false;
    for (const std::uint64_t start : starts) {
        bool holds = false;
        if ((!held || job.checks != nullptr) && !examine_mcuboot(contents, start, job, holds)) {
            return false;
        }
        held = held || holds;
    }
    again = job.out != nullptr && !job.patch.extras.empty();
    return true;
}

bool process(const Job& job) {
    HexSyntax syntax;
    if (!process_text(job.in, job.out, job.patch, job.report, syntax, job.checks)) {
        return false;
    }
    bool again = false;
    if (syntax.mcuboot_starts().empty() ||
        !examine_mcuboot_images(job, syntax.mcuboot_starts(), again)) {
        return syntax.mcuboot_starts().empty();
    }
    if (!again) {
        return true;
    }
    // Written again from its start, the hash's new bytes too: the file keeps its length.
    std::memset(job.patch.present, 0, sizeof job.patch.present);
    HexSyntax rewriting;
    return rewind(job.in, job.report) && std::fflush(job.out) == 0 && platform::seek(job.out, 0) &&
           process_text(job.in, job.out, job.patch, job.report, rewriting, nullptr);
}

bool parses(const Line& line, const Report& report) {
    TextRecord record;
    return parse_record(line, record, report, nullptr);
}

bool recognise(const Probe& probe) {
    return starts_with_record(probe, parses);
}

bool resembles(const Probe& probe, std::string& why) {
    return starts_like(probe, ':', false, parses, why);
}

} // namespace

extern const Format IntelHexFormat;
const Format IntelHexFormat{"Intel HEX", true, false, recognise, process, resembles};

} // namespace hexstamp::image
