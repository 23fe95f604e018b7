#include "image/formats.hpp"

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

struct HexImage {
    TextOutput text;
    Patch& patch;
    const Report& report;
    Addressing addressing;
    TextStyle style;
    bool ended = false;
};

void write_address_record(HexImage& image, std::uint8_t type, std::uint16_t value) {
    const std::uint8_t bytes[] = {static_cast<std::uint8_t>(value >> 8u),
                                  static_cast<std::uint8_t>(value & 0xFFu)};
    write_record(image.text.put(), type, 0, bytes, 2, image.style.letters);
    image.style.write_ending(image.text.put());
}

// The range's bytes that no record held, added before the end-of-file record.
void add_missing(HexImage& image) {
    for_each_missing_run(
        image.patch, [&](std::uint32_t address, std::size_t index, std::size_t count) {
            const std::uint32_t upper = address & 0xFFFF0000u;
            if (!image.addressing.agrees_on(upper)) {
                if (image.addressing.segment != 0) {
                    write_address_record(image, ExtendedSegmentAddressRecord, 0);
                    image.addressing.segment = 0;
                }
                write_address_record(image, ExtendedLinearAddressRecord,
                                     static_cast<std::uint16_t>(upper >> 16u));
                image.addressing.linear = upper;
                image.addressing.linear_last = true;
            }
            write_record(image.text.put(), DataRecord,
                         static_cast<std::uint16_t>(address & 0xFFFFu), image.patch.stamp + index,
                         static_cast<std::uint8_t>(count), image.style.letters);
            image.style.write_ending(image.text.put());
        });
}

bool data_record(HexImage& image, const Line& line, TextRecord& record) {
    const std::uint16_t offset =
        static_cast<std::uint16_t>(record.bytes[1] << 8u | record.bytes[2]);
    const std::uint8_t count = record.bytes[0];
    const std::uint64_t address = std::uint64_t{image.addressing.base()} + offset;
    if (count > 0 && address + count - 1 > 0xFFFFFFFFu) {
        image.report.error(line.number, "data at 0x%08llX runs past address 0xFFFFFFFF",
                           static_cast<unsigned long long>(address));
        return false;
    }
    std::uint8_t* data = record.bytes + 4;
    const bool touched = image.patch.visit_record(address, data, count);
    if (image.text.writing() && touched) {
        write_record(image.text.put(), DataRecord, offset, data, count, record.letters);
        std::fwrite(line.ending, 1, line.ending_length, image.text.put());
    } else {
        image.text.copy(line);
    }
    return true;
}

// The number of data bytes each record type other than data must hold.
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

bool other_record(HexImage& image, const Line& line, const TextRecord& record) {
    const std::uint8_t type = record.bytes[3];
    const int count = fixed_count(type);
    if (count < 0) {
        image.report.error(line.number, "unknown record type %02X", unsigned{type});
        return false;
    }
    if (record.bytes[0] != count) {
        image.report.error(line.number, "a record of type %02X holds %d bytes, not %u",
                           unsigned{type}, count, unsigned{record.bytes[0]});
        return false;
    }
    const auto value = static_cast<std::uint32_t>(record.bytes[4] << 8u | record.bytes[5]);
    if (type == ExtendedSegmentAddressRecord) {
        image.addressing.segment = value << 4u;
        image.addressing.linear_last = false;
    } else if (type == ExtendedLinearAddressRecord) {
        image.addressing.linear = value << 16u;
        image.addressing.linear_last = true;
    } else if (type == EndOfFileRecord) {
        if (image.text.writing() && image.patch.stamp != nullptr) {
            add_missing(image);
        }
        image.ended = true;
    }
    image.text.copy(line);
    return true;
}

bool record_line(HexImage& image, const Line& line) {
    if (is_blank(line)) {
        image.text.copy(line);
        return true;
    }
    if (image.ended) {
        image.report.error(line.number, "a record after the end-of-file record");
        return false;
    }
    if (line.text[0] != ':') {
        image.report.error(line.number, "a record starts with ':'");
        return false;
    }
    TextRecord record;
    if (!decode_hex(line, 1, record, image.report)) {
        return false;
    }
    if (record.count < 5) {
        image.report.error(line.number, "a record of %zu bytes; the shortest holds 5",
                           record.count);
        return false;
    }
    if (record.count != std::size_t{record.bytes[0]} + 5) {
        image.report.error(line.number,
                           "the length byte says %u data bytes, but the record holds %zu",
                           unsigned{record.bytes[0]}, record.count - 5);
        return false;
    }
    const std::uint8_t type = record.bytes[3];
    const std::uint8_t count = record.bytes[0];
    const std::uint8_t expected =
        record_checksum(type, static_cast<std::uint16_t>(record.bytes[1] << 8u | record.bytes[2]),
                        record.bytes + 4, count);
    if (record.bytes[record.count - 1] != expected) {
        image.report.error(line.number, "bad checksum %02X, expected %02X",
                           unsigned{record.bytes[record.count - 1]}, unsigned{expected});
        return false;
    }
    image.style.learn(line, record);
    return type == DataRecord ? data_record(image, line, record)
                              : other_record(image, line, record);
}

} // namespace

bool process_intel_hex(std::FILE* in, std::FILE* out, Patch& patch, const Report& report) {
    HexImage image{TextOutput(in, out), patch, report, {}, {}, false};
    bool ok = for_each_line(in, report, [&](const Line& line) { return record_line(image, line); });
    if (ok && !image.ended) {
        report.error(0, "no end-of-file record (:00000001FF)");
        ok = false;
    }
    return ok && finish_text(image.text, report);
}

} // namespace hexstamp::image
