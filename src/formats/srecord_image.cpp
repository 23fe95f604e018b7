#include "formats/format.hpp"
#include "formats/text_start.hpp"
#include "image/text_image.hpp"

// Motorola S-records: "S", a type digit, a count, an address of 2 to 4 bytes, data and a
// checksum. S0 is a header, S1 to S3 hold data, S5 and S6 count the data records, S7 to S9 end.
namespace hexstamp::image {

namespace {

// The address bytes of each record type S0 to S9; 0 for the reserved S4.
constexpr std::size_t AddressBytes[] = {2, 2, 3, 4, 0, 2, 3, 4, 3, 2};

bool is_data(int type) {
    return type >= 1 && type <= 3;
}

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

// A whole, valid record: a known type, pairs of digits, the count and the checksum. Gives the
// record's type.
bool parse_record(const Line& line, TextRecord& record, int& type, const Report& report,
                  Checks* checks) {
    type = line.length >= 2 && line.text[0] == 'S' ? hex_digit(line.text[1]) : -1;
    if (type < 0 || type > 9 || AddressBytes[type] == 0) {
        report.error(line.number, "unknown record type: a record starts with S0 to S3 or S5 to S9");
        return false;
    }
    if (!decode_hex(line, 2, record, report)) {
        return false;
    }
    if (record.count < AddressBytes[type] + 2) {
        report.error(line.number, "an S%d record of %zu bytes; the shortest holds %zu", type,
                     record.count, AddressBytes[type] + 2);
        return false;
    }
    if (record.count != std::size_t{record.bytes[0]} + 1) {
        report.error(line.number, "the count byte says %u bytes follow, but %zu do",
                     unsigned{record.bytes[0]}, record.count - 1);
        return false;
    }
    const std::uint8_t expected = srecord_checksum(record.bytes, record.count - 1);
    const bool right = record.bytes[record.count - 1] == expected;
    return holds_uncounted(checks, right) ||
           checked(report, checks, right, "record checksums", line.number,
                   "bad checksum %02X, expected %02X", unsigned{record.bytes[record.count - 1]},
                   unsigned{expected});
}

class SRecordSyntax : public TextSyntax {
  public:
    bool line(TextImage& image, const Line& line) override {
        if (terminated_) {
            image.report.error(line.number, "a record after the termination record");
            return false;
        }
        TextRecord record;
        int type = 0;
        if (!parse_record(line, record, type, image.report, image.checks)) {
            return false;
        }
        image.style.learn(line, record);
        if (is_data(type)) {
            return data_record(image, line, record, type);
        }
        if (type >= 5) {
            end_record(image, line, record, type);
            return true;
        }
        image.text.copy(line);
        return true;
    }

    // Some tools end the file without a count or termination record.
    bool end(TextImage& image) override {
        if (image.adding() && !past_data_) {
            add_missing(image);
        }
        return true;
    }

  private:
    bool data_record(TextImage& image, const Line& line, TextRecord& record, int type) {
        const std::size_t address_bytes = AddressBytes[type];
        const std::uint64_t address = read_address(record, address_bytes);
        const std::size_t count = record.count - address_bytes - 2;
        if (past_data_) {
            image.report.error(line.number, "a data record after the count or termination record");
            return false;
        }
        if (count > 0 && address + count - 1 > 0xFFFFFFFFu) {
            image.report.error(line.number, "data at 0x%08llX runs past address 0xFFFFFFFF",
                               static_cast<unsigned long long>(address));
            return false;
        }
        data_type_ = data_type_ > 0 ? data_type_ : type;
        ++data_records_;
        std::uint8_t* data = record.bytes + 1 + address_bytes;
        if (image.patch.visit_record(address, data, count) && image.text.writing()) {
            write_srecord(image.text.put(), type, static_cast<std::uint32_t>(address), data, count,
                          record.letters);
            image.end_as(line);
        } else {
            image.text.copy(line);
        }
        return true;
    }

    // S5 and S6 count the data records before them: the records this tool adds count too.
    void count_record(TextImage& image, const Line& line, const TextRecord& record, int type) {
        const unsigned long records = data_records_ + added_;
        if (records == read_address(record, AddressBytes[type])) {
            image.text.copy(line);
            return;
        }
        write_srecord(image.text.put(), records > 0xFFFFu ? 6 : 5,
                      static_cast<std::uint32_t>(records), nullptr, 0, record.letters);
        image.end_as(line);
    }

    void end_record(TextImage& image, const Line& line, const TextRecord& record, int type) {
        if (image.adding() && !past_data_) {
            add_missing(image);
        }
        past_data_ = true;
        terminated_ = type >= 7;
        if (image.text.writing() && type <= 6) {
            count_record(image, line, record, type);
        } else {
            image.text.copy(line);
        }
    }

    // The range's bytes that no record held, as data records of the file's own type where
    // their addresses fit it, else of the smallest type they fit.
    void add_missing(TextImage& image) {
        if (!image.last_line_ended) {
            image.style.write_ending(image.text.put());
        }
        for_each_missing_run(
            image.patch, [&](std::uint32_t address, std::size_t index, std::size_t count) {
                const std::uint64_t last = std::uint64_t{address} + count - 1;
                int type = data_type_ > 0 ? data_type_ : 1;
                while (type < 3 && last >> (8u * AddressBytes[type]) != 0) {
                    ++type;
                }
                write_srecord(image.text.put(), type, address, image.patch.stamp + index, count,
                              image.style.letters);
                image.style.write_ending(image.text.put());
                ++added_;
            });
        image.last_line_ended = true;
    }

    int data_type_ = 0; // the type of the file's data records, 1 to 3
    unsigned long data_records_ = 0;
    unsigned long added_ = 0;
    bool past_data_ = false;  // an S5 to S9 record came
    bool terminated_ = false; // an S7, S8 or S9 record came
};

bool process(const Job& job) {
    SRecordSyntax syntax;
    return process_text(job.in, job.out, job.patch, job.report, syntax, job.checks);
}

bool parses(const Line& line, const Report& report) {
    TextRecord record;
    int type = 0;
    return parse_record(line, record, type, report, nullptr);
}

bool recognise(const Probe& probe) {
    return starts_with_record(probe, parses);
}

bool resembles(const Probe& probe, std::string& why) {
    return starts_like(probe, 'S', true, parses, why);
}

} // namespace

extern const Format SRecordFormat;
const Format SRecordFormat{"S-record", true, false, recognise, process, resembles};

} // namespace hexstamp::image
