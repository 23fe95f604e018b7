#include "image/formats.hpp"

namespace hexstamp::image {

namespace {

// The address bytes of each record type S0 to S9; 0 for the reserved S4.
constexpr std::size_t AddressBytes[] = {2, 2, 3, 4, 0, 2, 3, 4, 3, 2};

bool is_data(int type) {
    return type >= 1 && type <= 3;
}

struct SRecordImage {
    TextOutput text;
    Patch& patch;
    const Report& report;
    TextStyle style;
    int data_type = 0; // the type of the file's data records, 1 to 3
    unsigned long data_records = 0;
    unsigned long added = 0;
    bool past_data = false;  // an S5 to S9 record came
    bool terminated = false; // an S7, S8 or S9 record came
    bool last_line_ended = true;
};

std::uint8_t srecord_checksum(const std::uint8_t* bytes, std::size_t count) {
    unsigned sum = 0;
    for (std::size_t index = 0; index < count; ++index) {
        sum += bytes[index];
    }
    return static_cast<std::uint8_t>(~sum);
}

// Writes "S<type>", the count, the address in `address_bytes` bytes, the data and the
// checksum, without a line ending.
void write_srecord(std::FILE* out, int type, std::uint32_t address, const std::uint8_t* data,
                   std::size_t count, Letters letters) {
    std::uint8_t bytes[TextRecord::MaxBytes];
    const std::size_t address_bytes = AddressBytes[type];
    std::size_t size = 0;
    bytes[size++] = static_cast<std::uint8_t>(address_bytes + count + 1);
    for (std::size_t index = address_bytes; index > 0; --index) {
        bytes[size++] = static_cast<std::uint8_t>(address >> (8u * (index - 1)));
    }
    for (std::size_t index = 0; index < count; ++index) {
        bytes[size++] = data[index];
    }
    bytes[size] = srecord_checksum(bytes, size);
    std::fprintf(out, "S%d", type);
    for (std::size_t index = 0; index <= size; ++index) {
        write_hex_byte(out, bytes[index], letters);
    }
}

std::uint32_t read_address(const TextRecord& record, std::size_t address_bytes) {
    std::uint32_t address = 0;
    for (std::size_t index = 0; index < address_bytes; ++index) {
        address = address << 8u | record.bytes[1 + index];
    }
    return address;
}

// The range's bytes that no record held, as data records of the file's own type where
// their addresses fit it, else of the smallest type they fit.
void add_missing(SRecordImage& image) {
    if (!image.last_line_ended) {
        image.style.write_ending(image.text.put());
    }
    for_each_missing_run(image.patch,
                         [&](std::uint32_t address, std::size_t index, std::size_t count) {
                             const std::uint64_t last = std::uint64_t{address} + count - 1;
                             int type = image.data_type > 0 ? image.data_type : 1;
                             while (type < 3 && last >> (8u * AddressBytes[type]) != 0) {
                                 ++type;
                             }
                             write_srecord(image.text.put(), type, address,
                                           image.patch.stamp + index, count, image.style.letters);
                             image.style.write_ending(image.text.put());
                             ++image.added;
                         });
    image.last_line_ended = true;
}

bool data_record(SRecordImage& image, const Line& line, TextRecord& record, int type) {
    const std::size_t address_bytes = AddressBytes[type];
    const std::uint64_t address = read_address(record, address_bytes);
    const std::size_t count = record.count - address_bytes - 2;
    if (image.past_data) {
        image.report.error(line.number, "a data record after the count or termination record");
        return false;
    }
    if (count > 0 && address + count - 1 > 0xFFFFFFFFu) {
        image.report.error(line.number, "data at 0x%08llX runs past address 0xFFFFFFFF",
                           static_cast<unsigned long long>(address));
        return false;
    }
    image.data_type = image.data_type > 0 ? image.data_type : type;
    ++image.data_records;
    std::uint8_t* data = record.bytes + 1 + address_bytes;
    const bool touched = image.patch.visit_record(address, data, count);
    if (image.text.writing() && touched) {
        write_srecord(image.text.put(), type, static_cast<std::uint32_t>(address), data, count,
                      record.letters);
        std::fwrite(line.ending, 1, line.ending_length, image.text.put());
    } else {
        image.text.copy(line);
    }
    return true;
}

// S5 and S6 count the data records before them: the records this tool adds count too.
void count_record(SRecordImage& image, const Line& line, const TextRecord& record, int type) {
    const unsigned long records = image.data_records + image.added;
    if (records == read_address(record, AddressBytes[type])) {
        image.text.copy(line);
        return;
    }
    write_srecord(image.text.put(), records > 0xFFFFu ? 6 : 5, static_cast<std::uint32_t>(records),
                  nullptr, 0, record.letters);
    std::fwrite(line.ending, 1, line.ending_length, image.text.put());
}

bool end_record(SRecordImage& image, const Line& line, const TextRecord& record, int type) {
    if (image.text.writing() && image.patch.stamp != nullptr && !image.past_data) {
        add_missing(image);
    }
    image.past_data = true;
    image.terminated = type >= 7;
    if (image.text.writing() && type <= 6) {
        count_record(image, line, record, type);
    } else {
        image.text.copy(line);
    }
    return true;
}

bool record_line(SRecordImage& image, const Line& line) {
    image.last_line_ended = line.ending_length > 0;
    if (is_blank(line)) {
        image.text.copy(line);
        return true;
    }
    if (image.terminated) {
        image.report.error(line.number, "a record after the termination record");
        return false;
    }
    const int type = line.length >= 2 && line.text[0] == 'S' ? hex_digit(line.text[1]) : -1;
    if (type < 0 || type > 9 || AddressBytes[type] == 0) {
        image.report.error(line.number,
                           "unknown record type: a record starts with S0 to S3 or S5 to S9");
        return false;
    }
    TextRecord record;
    if (!decode_hex(line, 2, record, image.report)) {
        return false;
    }
    if (record.count < AddressBytes[type] + 2) {
        image.report.error(line.number, "an S%d record of %zu bytes; the shortest holds %zu", type,
                           record.count, AddressBytes[type] + 2);
        return false;
    }
    if (record.count != std::size_t{record.bytes[0]} + 1) {
        image.report.error(line.number, "the count byte says %u bytes follow, but %zu do",
                           unsigned{record.bytes[0]}, record.count - 1);
        return false;
    }
    const std::uint8_t expected = srecord_checksum(record.bytes, record.count - 1);
    if (record.bytes[record.count - 1] != expected) {
        image.report.error(line.number, "bad checksum %02X, expected %02X",
                           unsigned{record.bytes[record.count - 1]}, unsigned{expected});
        return false;
    }
    image.style.learn(line, record);
    if (is_data(type)) {
        return data_record(image, line, record, type);
    }
    if (type >= 5) {
        return end_record(image, line, record, type);
    }
    image.text.copy(line);
    return true;
}

} // namespace

bool process_srecord(std::FILE* in, std::FILE* out, Patch& patch, const Report& report) {
    SRecordImage image{TextOutput(in, out), patch, report, {}};
    bool ok = for_each_line(in, report, [&](const Line& line) { return record_line(image, line); });
    // Some tools end the file without a count or termination record.
    if (ok && out != nullptr && patch.stamp != nullptr && !image.past_data) {
        add_missing(image);
    }
    return ok && finish_text(image.text, report);
}

} // namespace hexstamp::image
