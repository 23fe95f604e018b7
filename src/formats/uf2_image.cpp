#include "digest/hash.hpp"
#include "formats/format.hpp"
#include "image/file_access.hpp"

#include <algorithm>
#include <cstring>
#include <map>

// UF2: independent 512-byte blocks, each with its target address, payload and block number,
// for the drag-and-drop boot loaders of the Raspberry Pi Pico, Adafruit's boards and MakeCode.
namespace hexstamp::image {

namespace {

constexpr std::size_t BlockSize = 512, DataAt = 32, PayloadRoom = 476;
constexpr std::uint32_t FirstMagic = 0x0A324655u, SecondMagic = 0x9E5D5157u, EndMagic = 0x0AB16F30u;
constexpr std::uint32_t NotMainFlash = 0x1, FileContainer = 0x1000, FamilyPresent = 0x2000,
                        Md5Present = 0x4000, TagsPresent = 0x8000;
// Extension tag types: a SHA-2 of the firmware, which no stamp may leave stale.
constexpr std::uint32_t Sha2Tag = 0xB46DB0u;
// With Md5Present, the data area's last 24 bytes: the region's address, length and MD5.
constexpr std::size_t Md5At = DataAt + PayloadRoom - 24;

struct Block {
    std::uint8_t* at;
    std::uint32_t flags, address, size, number, count;
    std::uint64_t family; // the family ID, above 32 bits: none given
    bool main_flash() const { return (flags & (NotMainFlash | FileContainer)) == 0; }
    std::uint8_t* payload() const { return at + DataAt; }
};

Block block_at(std::vector<std::uint8_t>& file, std::size_t index) {
    std::uint8_t* at = file.data() + index * BlockSize;
    const std::uint32_t flags = get_le32(at + 8);
    return {at,
            flags,
            get_le32(at + 12),
            get_le32(at + 16),
            get_le32(at + 20),
            get_le32(at + 24),
            (flags & FamilyPresent) != 0 ? get_le32(at + 28) : std::uint64_t{1} << 32};
}

std::size_t aligned4(std::size_t value) {
    return (value + 3) & ~std::size_t{3};
}

bool carries_sha2(const Block& block) {
    if ((block.flags & TagsPresent) == 0) {
        return false;
    }
    for (std::size_t at = DataAt + aligned4(block.size); at + 4 <= DataAt + PayloadRoom;) {
        const std::size_t size = block.at[at];
        if (size < 4) {
            break;
        }
        if ((get_le32(block.at + at) >> 8u) == Sha2Tag) {
            return true;
        }
        at += aligned4(size);
    }
    return false;
}

// Every block whole and marked, its payload within the block, and each family's blocks
// numbered 0 to n-1, each once.
bool check_blocks(std::vector<std::uint8_t>& file, const Report& report) {
    if (file.empty() || file.size() % BlockSize != 0) {
        report.error(0, "a UF2 file is whole 512-byte blocks, but this one has %zu bytes",
                     file.size());
        return false;
    }
    std::map<std::uint64_t, std::vector<bool>> numbers;
    for (std::size_t index = 0; index < file.size() / BlockSize; ++index) {
        const Block block = block_at(file, index);
        if (get_le32(block.at) != FirstMagic || get_le32(block.at + 4) != SecondMagic ||
            get_le32(block.at + 508) != EndMagic) {
            report.error(0, "block %zu (at 0x%zX): not a UF2 block (its magic numbers are wrong)",
                         index, index * BlockSize);
            return false;
        }
        if (block.size > PayloadRoom) {
            report.error(0, "block %zu: a payload of %u bytes, but a block holds 476 at most",
                         index, unsigned{block.size});
            return false;
        }
        std::vector<bool>& seen = numbers[block.family];
        if (seen.empty() && block.count <= file.size() / BlockSize) {
            seen.resize(block.count);
        }
        if (block.number >= block.count || seen.size() != block.count || seen[block.number]) {
            report.error(0, "block %zu: block number %u of %u, out of turn in its family", index,
                         unsigned{block.number}, unsigned{block.count});
            return false;
        }
        seen[block.number] = true;
    }
    for (const auto& [family, seen] : numbers) {
        const auto missing = std::find(seen.begin(), seen.end(), false);
        if (missing != seen.end()) {
            report.error(0, "block number %zu of family 0x%08llX is missing",
                         missing - seen.begin(),
                         static_cast<unsigned long long>(family & 0xFFFFFFFFu));
            return false;
        }
    }
    return true;
}

// The bytes the family's main-flash payloads hold at [first, first + length), or false.
bool gather(std::vector<std::uint8_t>& file, std::uint64_t family, std::uint32_t first,
            std::uint32_t length, std::vector<std::uint8_t>& bytes) {
    bytes.assign(length, 0);
    std::vector<bool> held(length, false);
    for (std::size_t index = 0; index < file.size() / BlockSize; ++index) {
        const Block block = block_at(file, index);
        for (std::uint32_t at = 0; block.family == family && block.main_flash() && at < block.size;
             ++at) {
            const std::uint64_t offset = std::uint64_t{block.address} + at - first;
            if (block.address + std::uint64_t{at} >= first && offset < length) {
                bytes[static_cast<std::size_t>(offset)] = block.payload()[at];
                held[static_cast<std::size_t>(offset)] = true;
            }
        }
    }
    return std::all_of(held.begin(), held.end(), [](bool each) { return each; });
}

// The MD5 of each region that holds bytes of the range, made anew.
bool renew_md5s(std::vector<std::uint8_t>& file, const Range& range, const Report& report) {
    for (std::size_t index = 0; index < file.size() / BlockSize; ++index) {
        const Block block = block_at(file, index);
        const std::uint32_t first = get_le32(block.at + Md5At);
        const std::uint32_t length = get_le32(block.at + Md5At + 4);
        if ((block.flags & Md5Present) == 0 || length == 0 || first > range.last ||
            std::uint64_t{first} + length <= range.first) {
            continue;
        }
        std::vector<std::uint8_t> region;
        if (!gather(file, block.family, first, length, region)) {
            report.error(0,
                         "block %zu: its MD5 covers 0x%08X-0x%08llX, which the file does not "
                         "hold",
                         index, unsigned{first},
                         static_cast<unsigned long long>(std::uint64_t{first} + length - 1));
            return false;
        }
        digest::Md5 md5;
        md5.add(region.data(), region.size());
        const auto sum = md5.finish();
        std::memcpy(block.at + Md5At + 8, sum.data(), sum.size());
    }
    return true;
}

bool is_uf2(const Probe& probe) {
    return probe.read >= 8 && get_le32(probe.start) == FirstMagic &&
           get_le32(probe.start + 4) == SecondMagic;
}

bool process(const Job& job) {
    std::FILE* const in = job.in;
    std::FILE* const out = job.out;
    Patch& patch = job.patch;
    const Report& report = job.report;
    std::vector<std::uint8_t> file;
    if (!read_whole_file(in, report, file) || !check_blocks(file, report)) {
        return false;
    }
    const std::size_t blocks = file.size() / BlockSize;
    // Each family's copy of the range: all stamped alike, and compared when shown.
    std::map<std::uint64_t, Patch> families;
    std::vector<std::uint64_t> order; // the families as the file gives them first
    const std::uint64_t first_family = block_at(file, 0).family;
    for (std::size_t index = 0; index < blocks; ++index) {
        const Block block = block_at(file, index);
        if (out != nullptr && carries_sha2(block)) {
            report.error(0,
                         "block %zu carries a SHA-2 of the firmware (extension tag 0xB46DB0), "
                         "which a stamp would leave wrong; stamp the ELF before the UF2 is made",
                         index);
            return false;
        }
        if (!block.main_flash()) {
            continue;
        }
        if (patch.contents != nullptr && block.family == first_family) {
            patch.contents->add(block.address, block.payload(), block.size);
        }
        const auto [place, added] = families.try_emplace(block.family);
        if (added) {
            order.push_back(block.family);
        }
        Patch& copy = place->second;
        copy.range = patch.range;
        copy.stamp = patch.stamp;
        copy.visit_record(block.address, block.payload(), block.size);
    }
    const Patch* shown = nullptr;
    for (const std::uint64_t family : order) {
        const Patch& copy = families[family];
        const std::size_t held = patch.range.length() - copy.missing();
        if (held > 0 && held < patch.range.length()) {
            report.error(0,
                         "the blocks of family 0x%08llX hold %zu of the %zu bytes of "
                         "0x%08X-0x%08X; reserve the stamp in the firmware, as blocks cannot "
                         "be added",
                         static_cast<unsigned long long>(family & 0xFFFFFFFFu), held,
                         patch.range.length(), unsigned{patch.range.first},
                         unsigned{patch.range.last});
            return false;
        }
        if (held == 0) {
            continue;
        }
        if (shown == nullptr) {
            shown = &copy;
            std::memcpy(patch.found, copy.found, sizeof patch.found);
            std::memcpy(patch.present, copy.present, sizeof patch.present);
        } else if (std::memcmp(shown->found, copy.found, patch.range.length()) != 0) {
            patch.disagreement = "the file's families hold different bytes there";
        }
    }
    if (shown == nullptr && out != nullptr) {
        report.error(0,
                     "no block holds 0x%08X-0x%08X; reserve the stamp in the firmware, as "
                     "blocks cannot be added without renumbering every block",
                     unsigned{patch.range.first}, unsigned{patch.range.last});
        return false;
    }
    if (out != nullptr && !renew_md5s(file, patch.range, report)) {
        return false;
    }
    write_bytes(out, file);
    return true;
}

} // namespace

extern const Format Uf2Format;
const Format Uf2Format{"UF2", false, false, is_uf2, process, nullptr};

} // namespace hexstamp::image
