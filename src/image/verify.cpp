#include "image/verify.hpp"

#include "digest/crc32.hpp"
#include "image/image_file.hpp"
#include "image/show.hpp"

#include <algorithm>

namespace hexstamp::image {

namespace {

// Bytes read from a board at a time: compared as they arrive, so memory does not grow with
// the image. The client splits them into packets the server takes.
constexpr std::size_t ReadBlock = 4096;
// Bytes one CRC covers at most: a probe that computes it by reading over a slow link must
// still answer within the step's deadline.
constexpr std::uint64_t CrcBlock = 64 * 1024;

Compared compared_region(const Region& region) {
    Compared compared;
    compared.first = region.first;
    compared.last = region.end() - 1;
    compared.may_be_ram = region.may_be_ram;
    return compared;
}

void mark_difference(Compared& compared, const Region& region, std::uint64_t address, int found) {
    compared.equal = false;
    compared.difference = address;
    compared.found = found;
    compared.expected = region.bytes[static_cast<std::size_t>(address - region.first)];
}

// Reads [from, to) of the region from the board and compares, up to the first difference.
bool read_and_compare(BoardMemory& board, const Region& region, std::uint64_t from,
                      std::uint64_t to, Compared& compared) {
    std::uint8_t block[ReadBlock];
    for (std::uint64_t at = from; at < to && compared.equal;) {
        const auto count = static_cast<std::size_t>(std::min<std::uint64_t>(ReadBlock, to - at));
        if (!board.read(at, count, block)) {
            return false;
        }
        const std::uint8_t* expected = region.bytes.data() + (at - region.first);
        const auto mismatch = std::mismatch(block, block + count, expected);
        if (mismatch.first != block + count) {
            mark_difference(compared, region,
                            at + static_cast<std::uint64_t>(mismatch.first - block),
                            *mismatch.first);
        }
        at += count;
    }
    return true;
}

bool compare_region(BoardMemory& board, const Region& region, bool& crc_usable, const char* name,
                    Compared& compared, std::FILE* err) {
    compared.by_crc = crc_usable;
    for (std::uint64_t at = region.first; at < region.end() && compared.equal;) {
        const std::uint64_t to = std::min(region.end(), at + CrcBlock);
        bool has_crc = false;
        std::uint32_t theirs = 0;
        if (crc_usable && !board.crc(at, to - at, has_crc, theirs)) {
            return false;
        }
        const std::uint32_t ours =
            has_crc ? digest::crc32_mpeg2(region.bytes.data() + (at - region.first),
                                          static_cast<std::size_t>(to - at))
                    : 0;
        if (has_crc && ours == theirs) {
            at = to;
            continue;
        }
        if (!read_and_compare(board, region, at, to, compared)) {
            return false;
        }
        if (has_crc && compared.equal) {
            std::fprintf(err,
                         "hexstamp-image: note: %s gave the CRC %08X for 0x%08llX-0x%08llX, "
                         "but the bytes read there are the image's (CRC %08X); comparing by "
                         "reading from here on\n",
                         name, unsigned{theirs}, static_cast<unsigned long long>(at),
                         static_cast<unsigned long long>(to - 1), unsigned{ours});
        }
        // A server without CRCs, or with wrong ones, is read from here on.
        crc_usable = crc_usable && has_crc && !compared.equal;
        compared.by_crc = compared.by_crc && crc_usable;
        at = to;
    }
    return true;
}

// "48,212": counts of bytes as people read them.
void grouped(std::uint64_t value, char (&text)[32]) {
    char digits[24];
    const int length =
        std::snprintf(digits, sizeof digits, "%llu", static_cast<unsigned long long>(value));
    std::size_t at = 0;
    for (int index = 0; index < length; ++index) {
        if (index > 0 && (length - index) % 3 == 0) {
            text[at++] = ',';
        }
        text[at++] = digits[index];
    }
    text[at] = '\0';
}

void print_json(const char* name, bool board, const char* image_name,
                const std::vector<Compared>& result, bool equal, const char* stamp,
                std::FILE* out) {
    std::fprintf(out, "{\"%s\": ", board ? "target" : "file");
    print_json_string(name, out);
    std::fprintf(out, ", \"image\": ");
    print_json_string(image_name, out);
    std::fprintf(out, ", \"equal\": %s, \"stamp\": ", equal ? "true" : "false");
    if (stamp != nullptr) {
        std::fprintf(out, "\"%s\"", stamp);
    } else {
        std::fprintf(out, "null");
    }
    std::fprintf(out, ", \"regions\": [");
    for (std::size_t index = 0; index < result.size(); ++index) {
        const Compared& region = result[index];
        std::fprintf(out,
                     "%s{\"first\": \"0x%08llX\", \"last\": \"0x%08llX\", \"method\": \"%s\", "
                     "\"equal\": %s, \"first_difference\": ",
                     index > 0 ? ", " : "", static_cast<unsigned long long>(region.first),
                     static_cast<unsigned long long>(region.last), region.by_crc ? "crc" : "read",
                     region.equal ? "true" : "false");
        if (region.equal) {
            std::fprintf(out, "null}");
        } else {
            std::fprintf(out, "\"0x%08llX\"}", static_cast<unsigned long long>(region.difference));
        }
    }
    std::fprintf(out, "]}\n");
}

void print_difference(const char* name, bool board, const char* image_name, const Compared& region,
                      std::FILE* err) {
    char found[16] = "no byte there";
    if (region.found >= 0) {
        std::snprintf(found, sizeof found, "%02X", static_cast<unsigned>(region.found));
    }
    std::fprintf(err, "hexstamp-image: %s differs from %s at 0x%08llX: %s, %s has %02X\n", name,
                 image_name, static_cast<unsigned long long>(region.difference), found, image_name,
                 unsigned{region.expected});
    if (board && region.may_be_ram) {
        std::fprintf(err,
                     "hexstamp-image: note: 0x%08llX-0x%08llX is a writable segment of %s "
                     "loaded where it runs: it may be RAM the running program changed\n",
                     static_cast<unsigned long long>(region.first),
                     static_cast<unsigned long long>(region.last), image_name);
    }
}

} // namespace

std::vector<Compared> compare_images(const Contents& image, const Contents& other) {
    std::vector<Compared> result;
    for (const Region& region : image.regions()) {
        Compared compared = compared_region(region);
        for (std::uint64_t at = region.first; at < region.end() && compared.equal;) {
            const Region* there = other.find(at);
            if (there == nullptr) {
                mark_difference(compared, region, at, -1);
                break;
            }
            const std::uint64_t to = std::min(region.end(), there->end());
            const std::uint8_t* ours = region.bytes.data() + (at - region.first);
            const std::uint8_t* theirs = there->bytes.data() + (at - there->first);
            const auto mismatch = std::mismatch(ours, ours + (to - at), theirs);
            if (mismatch.first != ours + (to - at)) {
                mark_difference(compared, region,
                                at + static_cast<std::uint64_t>(mismatch.first - ours),
                                *mismatch.second);
            }
            at = to;
        }
        result.push_back(compared);
    }
    return result;
}

bool compare_board(const Contents& image, BoardMemory& board, bool use_crc, const char* name,
                   std::vector<Compared>& result, std::FILE* err) {
    bool crc_usable = use_crc;
    for (const Region& region : image.regions()) {
        Compared compared = compared_region(region);
        if (!compare_region(board, region, crc_usable, name, compared, err)) {
            return false;
        }
        result.push_back(compared);
    }
    return true;
}

int print_verdict(const char* name, bool board, const char* image_name, const Contents& image,
                  const std::vector<Compared>& result, const char* stamp, bool json, std::FILE* out,
                  std::FILE* err) {
    const bool equal = std::all_of(result.begin(), result.end(),
                                   [](const Compared& region) { return region.equal; });
    if (json) {
        print_json(name, board, image_name, result, equal, stamp, out);
    } else if (equal) {
        char bytes[32];
        grouped(image.byte_count(), bytes);
        std::fprintf(out, "%s holds %s: %zu region%s, %s byte%s", name, image_name, result.size(),
                     result.size() == 1 ? "" : "s", bytes, image.byte_count() == 1 ? "" : "s");
        if (stamp != nullptr) {
            std::fprintf(out, " (stamp %s)", stamp);
        }
        std::fprintf(out, "\n");
    }
    for (const Compared& region : result) {
        if (!region.equal) {
            print_difference(name, board, image_name, region, err);
        }
    }
    return equal ? ImageSuccess : NoStamp;
}

} // namespace hexstamp::image
