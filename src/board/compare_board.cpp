#include "board/compare_board.hpp"

#include "digest/crc32.hpp"
#include "image/report.hpp"

#include <algorithm>
#include <vector>

namespace hexstamp::image {

namespace {

// Bytes read from a board at a time: compared as they arrive, so memory does not grow with
// the image. The client splits them into packets the server takes.
constexpr std::size_t ReadBlock = 4096;
// Bytes one CRC covers at most: a probe that computes it by reading over a slow link must
// still answer within the step's deadline.
constexpr std::uint64_t CrcBlock = 64 * 1024;

// Reads [from, to) from the board and compares it with `ours`, the image's bytes there, up to
// the first difference.
bool read_and_compare(BoardMemory& board, const std::uint8_t* ours, std::uint64_t from,
                      std::uint64_t to, Compared& compared) {
    std::uint8_t block[ReadBlock];
    for (std::uint64_t at = from; at < to && compared.equal;) {
        const auto count = static_cast<std::size_t>(std::min<std::uint64_t>(ReadBlock, to - at));
        if (!board.read(at, count, block)) {
            return false;
        }
        const std::uint8_t* expected = ours + (at - from);
        const auto mismatch = std::mismatch(block, block + count, expected);
        if (mismatch.first != block + count) {
            compared.differs(at + static_cast<std::uint64_t>(mismatch.first - block),
                             *mismatch.first, *mismatch.second);
        }
        at += count;
    }
    return true;
}

bool compare_region(BoardMemory& board, const Region& region, bool& crc_usable, const char* name,
                    Compared& compared, std::FILE* err) {
    compared.by_crc = crc_usable;
    std::vector<std::uint8_t> bytes(CrcBlock);
    for (std::uint64_t at = region.first; at < region.end() && compared.equal;) {
        const std::uint64_t to = std::min(region.end(), at + CrcBlock);
        const auto count = static_cast<std::size_t>(to - at);
        if (!region.read(at, count, bytes.data())) {
            say(err, "cannot read the image again at 0x%08llX to compare it with %s",
                static_cast<unsigned long long>(at), name);
            return false;
        }
        bool has_crc = false;
        std::uint32_t theirs = 0;
        if (crc_usable && !board.crc(at, to - at, has_crc, theirs)) {
            return false;
        }
        const std::uint32_t ours = has_crc ? digest::crc32_mpeg2(bytes.data(), count) : 0;
        if (has_crc && ours == theirs) {
            at = to;
            continue;
        }
        if (!read_and_compare(board, bytes.data(), at, to, compared)) {
            return false;
        }
        if (has_crc && compared.equal) {
            say(err,
                "note: %s gave the CRC %08X for 0x%08llX-0x%08llX, but the bytes read there are "
                "the image's (CRC %08X); comparing by reading from here on",
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

} // namespace

bool compare_board(const Contents& image, BoardMemory& board, bool use_crc, const char* name,
                   std::vector<Compared>& result, std::FILE* err) {
    bool crc_usable = use_crc;
    for (const Region& region : image.regions()) {
        Compared compared = Compared::of(region);
        if (!compare_region(board, region, crc_usable, name, compared, err)) {
            return false;
        }
        result.push_back(compared);
    }
    return true;
}

} // namespace hexstamp::image
