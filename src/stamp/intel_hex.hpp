#pragma once

#include "stamp/date_time_stamp.hpp"

#include <cstddef>
#include <cstdint>
#include <cstdio>

namespace hexstamp {

// Intel HEX record types.
enum RecordType : std::uint8_t {
    DataRecord = 0x00,
    EndOfFileRecord = 0x01,
    ExtendedSegmentAddressRecord = 0x02,
    StartSegmentAddressRecord = 0x03,
    ExtendedLinearAddressRecord = 0x04,
    StartLinearAddressRecord = 0x05,
};

// The case of a record's hexadecimal letters: the tool writes upper case, and a record it
// rewrites in a user's file keeps that file's case.
enum class Letters { Upper, Lower };

// Two's complement of the byte sum of a record's count, address, type and data, so that
// all of the record's bytes add up to 0 modulo 256.
std::uint8_t record_checksum(std::uint8_t type, std::uint16_t address, const std::uint8_t* data,
                             std::uint8_t count);

// Writes one record from its start code to its checksum, without a line ending.
void write_record(std::FILE* out, std::uint8_t type, std::uint16_t address,
                  const std::uint8_t* data, std::uint8_t count, Letters letters);

// Writes a byte as two hexadecimal digits in the given case.
void write_hex_byte(std::FILE* out, unsigned value, Letters letters);

// Writes the stamp as one Intel HEX data record at `start_address`, followed by the
// end-of-file record. A start above 0xFFFF is preceded by an Extended Linear Address
// record so that readers place the data at the full 32-bit address.
void write_records(std::FILE* out, std::uint32_t start_address, const DateTimeStamp& stamp);

} // namespace hexstamp
