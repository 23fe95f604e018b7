#include "digest/hash.hpp"
#include "formats/format.hpp"
#include "image/file_access.hpp"

#include <algorithm>
#include <array>
#include <cstring>
#include <iterator>
#include <map>
#include <set>
#include <tuple>

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
// The MD5s made anew hash at most this many times the file's bytes: a file whose blocks ask
// for more is no file a tool made.
constexpr std::uint64_t HashedPerFileByte = 8;

struct Block {
    std::uint8_t* at;
    std::uint32_t flags, address, size, number, count;
    std::uint64_t family; // the family ID, above 32 bits: none given
    bool main_flash() const { return (flags & (NotMainFlash | FileContainer)) == 0; }
    std::uint8_t* payload() const { return at + DataAt; }
    std::uint64_t end() const { return std::uint64_t{address} + size; }
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

unsigned long long family_id(std::uint64_t family) {
    return static_cast<unsigned long long>(family & 0xFFFFFFFFu);
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

// The block numbers of one family, as the file gives them.
struct Numbering {
    std::uint32_t count = 0;
    std::set<std::uint32_t> seen;
};

// Every block number below its family's count, once: the first numbers missing are named.
bool check_numbering(const std::map<std::uint64_t, Numbering>& families, const Report& report) {
    for (const auto& [family, numbering] : families) {
        if (numbering.seen.size() == numbering.count) {
            continue;
        }
        std::uint32_t missing = 0;
        for (auto number = numbering.seen.begin();
             number != numbering.seen.end() && *number == missing; ++number) {
            ++missing;
        }
        const auto next = numbering.seen.upper_bound(missing);
        const std::uint32_t last = next == numbering.seen.end() ? numbering.count - 1 : *next - 1;
        char blocks[64];
        std::snprintf(blocks, sizeof blocks, last > missing ? "blocks %u to %u are" : "block %u is",
                      unsigned{missing}, unsigned{last});
        report.error(0, "family 0x%08llX has %zu of its %u blocks: %s missing", family_id(family),
                     numbering.seen.size(), unsigned{numbering.count}, blocks);
        return false;
    }
    return true;
}

// Every block whole and marked, its payload within the block, and each family's blocks
// numbered 0 to n-1, each once.
bool check_blocks(std::vector<std::uint8_t>& file, const Report& report) {
    if (file.empty() || file.size() % BlockSize != 0) {
        report.error(0, "a UF2 file is whole 512-byte blocks, but this one has %zu bytes",
                     file.size());
        return false;
    }
    std::map<std::uint64_t, Numbering> families;
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
        Numbering& numbering = families[block.family];
        numbering.count = numbering.seen.empty() ? block.count : numbering.count;
        if (block.number >= block.count || block.count != numbering.count ||
            !numbering.seen.insert(block.number).second) {
            report.error(0, "block %zu: block number %u of %u, out of turn in its family", index,
                         unsigned{block.number}, unsigned{block.count});
            return false;
        }
    }
    return check_numbering(families, report);
}

// A family's main-flash blocks by address, to gather a region's bytes in one pass.
using ByAddress = std::vector<Block>;

std::map<std::uint64_t, ByAddress> main_flash(std::vector<std::uint8_t>& file) {
    std::map<std::uint64_t, ByAddress> families;
    for (std::size_t index = 0; index < file.size() / BlockSize; ++index) {
        const Block block = block_at(file, index);
        if (block.main_flash()) {
            families[block.family].push_back(block);
        }
    }
    for (auto& [family, blocks] : families) {
        std::stable_sort(blocks.begin(), blocks.end(), [](const Block& one, const Block& other) {
            return one.address < other.address;
        });
    }
    return families;
}

// The MD5 of the family's bytes at [first, first + length), when its payloads hold them all.
bool region_md5(const ByAddress& blocks, std::uint64_t first, std::uint64_t length,
                std::array<std::uint8_t, 16>& sum) {
    const auto after = std::upper_bound(
        blocks.begin(), blocks.end(), first,
        [](std::uint64_t address, const Block& block) { return address < block.address; });
    // The block that holds `first`: the last to start at or before it, or an earlier, longer one.
    const auto holder = std::find_if(std::make_reverse_iterator(after), blocks.rend(),
                                     [first](const Block& block) { return block.end() > first; });
    auto block = holder == blocks.rend() ? after : holder.base() - 1;
    digest::Md5 md5;
    std::uint64_t at = first;
    for (; block != blocks.end() && block->address <= at && at < first + length; ++block) {
        if (block->end() <= at) {
            continue;
        }
        const std::uint64_t until = std::min(block->end(), first + length);
        md5.add(block->payload() + (at - block->address), static_cast<std::size_t>(until - at));
        at = until;
    }
    sum = md5.finish();
    return at == first + length;
}

// The MD5 of each region that holds bytes of the range, made anew; each region hashed once.
bool renew_md5s(std::vector<std::uint8_t>& file, const Range& range, const Report& report) {
    const std::map<std::uint64_t, ByAddress> families = main_flash(file);
    std::map<std::tuple<std::uint64_t, std::uint32_t, std::uint32_t>, std::array<std::uint8_t, 16>>
        made;
    std::uint64_t hashed = 0;
    for (std::size_t index = 0; index < file.size() / BlockSize; ++index) {
        const Block block = block_at(file, index);
        const std::uint32_t first = get_le32(block.at + Md5At);
        const std::uint32_t length = get_le32(block.at + Md5At + 4);
        if ((block.flags & Md5Present) == 0 || length == 0 || first > range.last ||
            std::uint64_t{first} + length <= range.first) {
            continue;
        }
        const auto key = std::make_tuple(block.family, first, length);
        const auto family = families.find(block.family);
        hashed += made.count(key) == 0 ? length : 0;
        if (made.count(key) == 0 &&
            (hashed > HashedPerFileByte * file.size() || family == families.end() ||
             !region_md5(family->second, first, length, made[key]))) {
            report.error(0,
                         "block %zu: its MD5 covers 0x%08X-0x%08llX, which the file's blocks "
                         "do not hold",
                         index, unsigned{first},
                         static_cast<unsigned long long>(std::uint64_t{first} + length - 1));
            return false;
        }
        std::memcpy(block.at + Md5At + 8, made[key].data(), 16);
    }
    return true;
}

// For verify IMAGE: each block's MD5 against the bytes of its region.
bool check_md5s(std::vector<std::uint8_t>& file, const Report& report, Checks& checks) {
    const std::map<std::uint64_t, ByAddress> families = main_flash(file);
    std::map<std::tuple<std::uint64_t, std::uint32_t, std::uint32_t>, std::array<std::uint8_t, 16>>
        made;
    std::uint64_t hashed = 0;
    for (std::size_t index = 0; index < file.size() / BlockSize; ++index) {
        const Block block = block_at(file, index);
        const std::uint32_t first = get_le32(block.at + Md5At);
        const std::uint32_t length = get_le32(block.at + Md5At + 4);
        if ((block.flags & Md5Present) == 0) {
            continue;
        }
        const auto key = std::make_tuple(block.family, first, length);
        const auto family = families.find(block.family);
        const bool known = made.count(key) > 0;
        hashed += known ? 0 : length;
        const bool held =
            known || (hashed <= HashedPerFileByte * file.size() && family != families.end() &&
                      region_md5(family->second, first, length, made[key]));
        checked(report, &checks,
                held && std::memcmp(made[key].data(), block.at + Md5At + 8, 16) == 0, "block MD5s",
                0, "block %zu: its MD5 of 0x%08X-0x%08llX is %s", index, unsigned{first},
                static_cast<unsigned long long>(std::uint64_t{first} + length - 1),
                held ? "not the MD5 of the bytes there" : "of bytes the file's blocks do not hold");
    }
    return true;
}

// Each family's copy of the range: all stamped alike, and compared when shown.
struct Families {
    std::map<std::uint64_t, Patch> copies;
    std::vector<std::uint64_t> order; // as the file gives them first
};

bool stamp_blocks(std::vector<std::uint8_t>& file, const Job& job, Families& families) {
    const std::uint64_t first_family = block_at(file, 0).family;
    for (std::size_t index = 0; index < file.size() / BlockSize; ++index) {
        const Block block = block_at(file, index);
        if (job.out != nullptr && carries_sha2(block)) {
            job.report.error(0,
                             "block %zu carries a SHA-2 of the firmware (extension tag "
                             "0xB46DB0), which a stamp would leave wrong; stamp the ELF before "
                             "the UF2 is made",
                             index);
            return false;
        }
        if (!block.main_flash()) {
            continue;
        }
        if (job.patch.contents != nullptr && block.family == first_family) {
            job.patch.contents->add(block.address, block.payload(), block.size);
        }
        const auto [place, added] = families.copies.try_emplace(block.family);
        if (added) {
            families.order.push_back(block.family);
        }
        Patch& copy = place->second;
        copy.range = job.patch.range;
        copy.stamp = job.patch.stamp;
        copy.visit_record(block.address, block.payload(), block.size);
    }
    return true;
}

// What the families hold in the range, into the patch: each all of it or none, all alike.
bool gather_families(const Families& families, const Job& job) {
    Patch& patch = job.patch;
    const Patch* shown = nullptr;
    for (const std::uint64_t family : families.order) {
        const Patch& copy = families.copies.at(family);
        const std::size_t held = patch.range.length() - copy.missing();
        if (held > 0 && held < patch.range.length()) {
            job.report.error(0,
                             "the blocks of family 0x%08llX hold %zu of the %zu bytes of "
                             "0x%08X-0x%08X; reserve the stamp in the firmware, as blocks "
                             "cannot be added",
                             family_id(family), held, patch.range.length(),
                             unsigned{patch.range.first}, unsigned{patch.range.last});
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
    if (shown == nullptr && job.out != nullptr) {
        job.report.error(0,
                         "no block holds 0x%08X-0x%08X; reserve the stamp in the firmware, as "
                         "blocks cannot be added without renumbering every block",
                         unsigned{patch.range.first}, unsigned{patch.range.last});
        return false;
    }
    return true;
}

bool is_uf2(const Probe& probe) {
    return probe.read >= 8 && get_le32(probe.start) == FirstMagic &&
           get_le32(probe.start + 4) == SecondMagic;
}

bool process(const Job& job) {
    std::vector<std::uint8_t> file;
    Families families;
    if (!read_whole_file(job.in, job.report, file) || !check_blocks(file, job.report) ||
        !stamp_blocks(file, job, families) || !gather_families(families, job) ||
        (job.out != nullptr && !renew_md5s(file, job.patch.range, job.report)) ||
        (job.checks != nullptr && !check_md5s(file, job.report, *job.checks))) {
        return false;
    }
    write_bytes(job.out, file);
    return true;
}

} // namespace

extern const Format Uf2Format;
const Format Uf2Format{"UF2", false, false, is_uf2, process, nullptr};

} // namespace hexstamp::image
