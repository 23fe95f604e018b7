#include "board/target.hpp"
#include "gdb/client.hpp"
#include "gdb/packet.hpp"
#include "image/contents.hpp"
#include "image/text_lines.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

namespace hexstamp::testing {
namespace {

using gdb::PacketReader;

// What a server's bytes come to: each event, and a packet's data after it.
std::string events(const std::string& bytes) {
    PacketReader reader;
    std::string seen;
    for (const char c : bytes) {
        switch (reader.feed(c)) {
        case PacketReader::Event::Ack:
            seen += "+ ";
            break;
        case PacketReader::Event::Nak:
            seen += "- ";
            break;
        case PacketReader::Event::Packet:
            seen += "[" + reader.packet() + "] ";
            break;
        case PacketReader::Event::Notification:
            seen += "%[" + reader.packet() + "] ";
            break;
        case PacketReader::Event::BadChecksum:
            seen += "bad ";
            break;
        case PacketReader::Event::Malformed:
            seen += "malformed ";
            break;
        case PacketReader::Event::None:
            break;
        }
    }
    return seen;
}

std::string repeated(const std::string& text, std::size_t times) {
    std::string all;
    while (times-- > 0) {
        all += text;
    }
    return all;
}

TEST(PacketReader, ChecksRepeatsAndFraming) {
    const struct {
        std::string bytes;
        std::string events;
    } rows[] = {
        {"+$OK#9a", "+ [OK] "},
        {"$OK#9b", "bad "},
        {"$OK#zz-", "bad - "},
        {gdb::frame("0*$"), "[00000000] "}, // '$' counts 7 more copies
        {gdb::frame("0*#"), "[0000000] "},  // and '#' 6 more
        {gdb::frame("1*!2"), "[111112] "},
        {gdb::frame(repeated("0*~", 200)), "malformed "}, // counts past the longest packet
        {gdb::frame("*!"), "malformed "},                 // nothing to repeat
        {"$O$OK#9a", "[OK] "},                            // a packet cut off by the next
        {"junk$S05#b8", "[S05] "},
        // A notification is never an acknowledgement, whatever it holds or its checksum.
        {"%Stop:T05-+#00+$OK#9a", "%[Stop:T05-+] + [OK] "},
    };
    for (const auto& row : rows) {
        EXPECT_EQ(events(row.bytes), row.events) << row.bytes;
    }
}

// A server that sends its script whatever it is asked, a few bytes at a time, then nothing.
class Script : public gdb::Stream {
  public:
    explicit Script(std::string bytes) : bytes_(std::move(bytes)) {}
    long read(char* into, std::size_t room, int) override {
        const std::size_t count = std::min({room, bytes_.size() - at_, std::size_t{7}});
        std::memcpy(into, bytes_.data() + at_, count);
        at_ += count;
        return count > 0 ? static_cast<long>(count) : -1;
    }
    bool write(const char*, std::size_t) override { return true; }

  private:
    std::string bytes_;
    std::size_t at_ = 0;
};

// What reading 4 bytes at 0x20000000 comes to, when a server says `replies` after greeting.
std::string read_four(const std::string& greeting, const std::string& replies) {
    Script server(greeting + replies);
    gdb::Client client(server, 200);
    std::uint8_t bytes[4] = {};
    if (!client.start() || !client.read(0x20000000, sizeof bytes, bytes)) {
        const char* kinds[] = {"none", "closed",  "timeout",   "out of time",
                               "lost", "refused", "malformed", "no target"};
        return std::string(kinds[static_cast<int>(client.outcome().failure)]) + " " +
               client.outcome().reply;
    }
    char text[16];
    std::snprintf(text, sizeof text, "%02x%02x%02x%02x", bytes[0], bytes[1], bytes[2], bytes[3]);
    return text;
}

TEST(Client, TakesOnlyTheReplyThatAnswersEachRead) {
    const std::string hello = "+" + gdb::frame("PacketSize=4") + "+" + gdb::frame("S05");
    const std::string stop = "%" + gdb::frame("Stop:T05-thread:01;").substr(1);
    const struct {
        std::string greeting;
        std::string replies;
        std::string outcome;
    } rows[] = {
        {hello, "+" + gdb::frame("0102") + "+" + gdb::frame("0304"), "01020304"},
        {hello, stop + "+" + stop + gdb::frame("0102") + stop + "+" + gdb::frame("0304"),
         "01020304"},
        {hello, "+$0102#00" + gdb::frame("0102") + "+$0304#00" + gdb::frame("0304"), "01020304"},
        {hello, "+" + gdb::frame("T05thread:01;"), "malformed T05thread:01;"},
        {hello, "+" + gdb::frame("010203"), "malformed 010203"},
        {hello, "+" + gdb::frame("E14"), "refused E14"},
        {hello, "+" + gdb::frame("E.no memory here"), "refused E.no memory here"},
        {"+" + gdb::frame("E01"), "", "refused E01"},
        {"+" + gdb::frame("PacketSize=4") + "+" + gdb::frame("E14"), "", "refused E14"},
    };
    for (const auto& row : rows) {
        EXPECT_EQ(read_four(row.greeting, row.replies), row.outcome) << row.replies;
    }
}

// The lines of `text`, as the reader gives them: number, offset and characters.
std::vector<std::string> lines_of(const std::string& text) {
    std::FILE* file = std::tmpfile();
    std::fwrite(text.data(), 1, text.size(), file);
    std::rewind(file);
    const image::Report quiet{nullptr, ""};
    image::LineReader reader(file, quiet);
    std::vector<std::string> lines;
    image::Line line;
    while (reader.next(line)) {
        lines.push_back(std::to_string(line.number) + "@" + std::to_string(line.offset) + ":" +
                        std::string(line.text, line.length) + "|" +
                        std::to_string(line.ending_length));
    }
    lines.push_back(reader.failed() ? "failed" : "end");
    std::fclose(file);
    return lines;
}

TEST(LineReader, GivesLinesAcrossItsBufferAndRefusesEndlessOnes) {
    // 655 lines of 100 characters, then a line across the 64 KiB the reader holds at a time.
    const std::string filler = repeated(std::string(99, 'a') + "\n", 655);
    const struct {
        std::string text;
        std::vector<std::string> last; // the last lines
    } rows[] = {
        {":00\r\n\nq", {"1@0::00|2", "2@5:|1", "3@6:q|0", "end"}},
        {filler + repeated("0123456789", 8) + "\r\nq\n",
         {"656@65500:" + repeated("0123456789", 8) + "|2", "657@65582:q|1", "end"}},
        {std::string(5000, 'x'), {"failed"}},
        {filler + std::string(5000, 'x'), {"failed"}},
    };
    for (const auto& row : rows) {
        const std::vector<std::string> lines = lines_of(row.text);
        ASSERT_GE(lines.size(), row.last.size());
        EXPECT_EQ(
            std::vector<std::string>(lines.end() - static_cast<long>(row.last.size()), lines.end()),
            row.last);
    }
}

TEST(DecodeHex, ReadsPairsAndTellsTheirCase) {
    const struct {
        const char* text;
        std::size_t from;
        bool ok;
        std::vector<std::uint8_t> bytes;
        bool lower;
    } rows[] = {
        {":0aFF", 1, true, {0x0A, 0xFF}, false},
        {":0aff", 1, true, {0x0A, 0xFF}, true},
        {"S10123", 2, true, {0x01, 0x23}, false},
        {":0a0", 1, false, {}, false},
        {":0g", 1, false, {}, false},
    };
    for (const auto& row : rows) {
        image::Line line;
        line.text = row.text;
        line.length = std::strlen(row.text);
        image::TextRecord record;
        const image::Report quiet{nullptr, ""};
        ASSERT_EQ(image::decode_hex(line, row.from, record, quiet), row.ok) << row.text;
        if (row.ok) {
            EXPECT_EQ(std::vector<std::uint8_t>(record.bytes, record.bytes + record.count),
                      row.bytes);
            EXPECT_EQ(record.letters == Letters::Lower, row.lower) << row.text;
        }
    }
}

TEST(Contents, JoinsTouchingRegionsKeepsTheLaterByteAndLeavesRangesOut) {
    // A byte string added at an address; "@" before it: the bytes a file holds there instead.
    const struct {
        std::vector<std::pair<std::uint64_t, std::string>> added;
        std::pair<std::uint64_t, std::uint64_t> excluded; // first, last
        std::vector<std::pair<std::uint64_t, std::string>> regions;
    } rows[] = {
        {{{0x10, "abcd"}, {0x12, "XY"}}, {1, 0}, {{0x10, "abXY"}}},
        {{{0x12, "XYZW"}, {0x10, "ab"}}, {1, 0}, {{0x10, "abXYZW"}}},
        {{{0x10, "ab"}, {0x20, "cd"}, {0x12, "ef"}}, {1, 0}, {{0x10, "abef"}, {0x20, "cd"}}},
        {{{0x10, "abcdef"}, {0x11, "X"}}, {1, 0}, {{0x10, "aXcdef"}}},
        {{{0x10, "@abcd"}, {0x14, "ef"}, {0x16, "@gh"}}, {1, 0}, {{0x10, "abcdefgh"}}},
        {{{0x10, "@abcd"}, {0x12, "XY"}}, {1, 0}, {{0x10, "abXY"}}},
        {{{0x10, "@abcd"}, {0x14, "ef"}}, {0x12, 0x14}, {{0x10, "ab"}, {0x15, "f"}}},
        {{{0x10, "abcd"}}, {0x0, 0x20}, {}},
    };
    for (const auto& row : rows) {
        std::FILE* file = std::tmpfile();
        image::Contents contents;
        for (const auto& [address, bytes] : row.added) {
            const bool filed = bytes[0] == '@';
            const auto* data = reinterpret_cast<const std::uint8_t*>(bytes.data() + filed);
            const long offset = std::ftell(file);
            std::fwrite(data, 1, bytes.size() - filed, file);
            if (filed) {
                contents.add_file(address, file, static_cast<std::uint64_t>(offset),
                                  bytes.size() - 1);
            } else {
                contents.add(address, data, bytes.size());
            }
        }
        ASSERT_TRUE(contents.finish());
        contents.exclude(row.excluded.first, row.excluded.second);
        std::vector<std::pair<std::uint64_t, std::string>> regions;
        for (const image::Region& region : contents.regions()) {
            std::string bytes(static_cast<std::size_t>(region.size), '?');
            ASSERT_TRUE(region.read(region.first, bytes.size(),
                                    reinterpret_cast<std::uint8_t*>(&bytes[0])));
            regions.emplace_back(region.first, bytes);
        }
        EXPECT_EQ(regions, row.regions);
        std::fclose(file);
    }
}

TEST(Target, ReadsHostsPortsAndSerialPorts) {
    const struct {
        const char* text;
        const char* host; // null: refused
        const char* port;
        const char* serial;
    } rows[] = {
        {"localhost:3333", "localhost", "3333", ""},
        {"[::1]:2331", "::1", "2331", ""},
        {":1234", "localhost", "1234", ""},
        {"/dev/ttyACM0", "", "", "/dev/ttyACM0"},
        {"COM5", "", "", "COM5"},
        {"com12", "", "", "com12"},
        {"localhost", nullptr, "", ""},
        {"h:0", nullptr, "", ""},
        {"h:65536", nullptr, "", ""},
        {"[::1]3333", nullptr, "", ""},
        {"", nullptr, "", ""},
        {"h:33a", nullptr, "", ""},
    };
    for (const auto& row : rows) {
        image::Target target;
        std::FILE* err = std::tmpfile();
        const bool ok = image::parse_target(row.text, target, err);
        std::fclose(err);
        ASSERT_EQ(ok, row.host != nullptr) << row.text;
        if (ok) {
            EXPECT_EQ(target.host + "|" + target.port + "|" + target.serial,
                      std::string(row.host) + "|" + row.port + "|" + row.serial);
        }
    }
}

} // namespace
} // namespace hexstamp::testing
