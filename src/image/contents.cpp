#include "image/contents.hpp"

#include "platform/files.hpp"

#include <algorithm>
#include <cstring>
#include <limits>
#include <utility>

namespace hexstamp::image {

namespace {

bool read_piece(const Piece& piece, std::uint64_t address, std::size_t count, std::uint8_t* into) {
    const std::uint64_t at = address - piece.first;
    if (piece.file == nullptr) {
        std::memcpy(into, piece.bytes.data() + at, count);
        return true;
    }
    return platform::seek(piece.file, piece.offset + at) &&
           std::fread(into, 1, count, piece.file) == count;
}

// The region's bytes, all in memory: for regions that overlap, which are joined byte by byte.
bool load(Region& region) {
    if (region.pieces.size() == 1 && region.pieces.front().file == nullptr) {
        return true;
    }
    if (region.size > std::numeric_limits<std::size_t>::max()) { // a 32-bit system
        return false;
    }
    Piece whole{region.first, region.size,
                std::vector<std::uint8_t>(static_cast<std::size_t>(region.size)), nullptr, 0};
    const bool read = region.read(region.first, whole.bytes.size(), whole.bytes.data());
    region.pieces.assign(1, std::move(whole));
    return read;
}

// Appends `after`, which starts where `region` ends; bytes that continue a piece join it.
void append(Region& region, Piece after) {
    region.size += after.size;
    Piece& last = region.pieces.back();
    if (last.file == nullptr && after.file == nullptr) {
        last.bytes.insert(last.bytes.end(), after.bytes.begin(), after.bytes.end());
        last.size += after.size;
    } else if (last.file != nullptr && last.file == after.file &&
               last.offset + last.size == after.offset) {
        last.size += after.size;
    } else {
        region.pieces.push_back(std::move(after));
    }
}

} // namespace

bool Region::read(std::uint64_t address, std::size_t count, std::uint8_t* into) const {
    auto piece =
        std::upper_bound(pieces.begin(), pieces.end(), address,
                         [](std::uint64_t value, const Piece& each) { return value < each.first; });
    for (--piece; count > 0; ++piece) {
        const auto taken =
            static_cast<std::size_t>(std::min<std::uint64_t>(count, piece->end() - address));
        if (!read_piece(*piece, address, taken, into)) {
            return false;
        }
        address += taken;
        into += taken;
        count -= taken;
    }
    return true;
}

Region Region::slice(std::uint64_t from, std::uint64_t to) const {
    Region part{from, to - from, {}, may_be_ram};
    for (const Piece& piece : pieces) {
        const std::uint64_t begin = std::max(from, piece.first);
        const std::uint64_t end = std::min(to, piece.end());
        if (begin >= end) {
            continue;
        }
        Piece cut{begin, end - begin, {}, piece.file, piece.offset + (begin - piece.first)};
        if (piece.file == nullptr) {
            const auto at = piece.bytes.begin() + static_cast<long>(begin - piece.first);
            cut.bytes.assign(at, at + static_cast<long>(end - begin));
        }
        part.pieces.push_back(std::move(cut));
    }
    return part;
}

void Contents::add(std::uint64_t address, const std::uint8_t* bytes, std::size_t count,
                   bool may_be_ram) {
    if (count == 0) {
        return;
    }
    Piece piece{address, count, std::vector<std::uint8_t>(bytes, bytes + count), nullptr, 0};
    if (!regions_.empty() && regions_.back().end() == address &&
        regions_.back().may_be_ram == may_be_ram) {
        append(regions_.back(), std::move(piece));
        return;
    }
    regions_.push_back(Region{address, count, {}, may_be_ram});
    regions_.back().pieces.push_back(std::move(piece));
}

void Contents::add_file(std::uint64_t address, std::FILE* file, std::uint64_t offset,
                        std::uint64_t size, bool may_be_ram) {
    if (size > 0) {
        regions_.push_back(Region{address, size, {}, may_be_ram});
        regions_.back().pieces.push_back(Piece{address, size, {}, file, offset});
    }
}

bool Contents::finish() {
    // A stable sort keeps the file's order among regions that start together: the later
    // one's bytes win, as a programmer writing them in order leaves them.
    std::stable_sort(regions_.begin(), regions_.end(), [](const Region& one, const Region& other) {
        return one.first < other.first;
    });
    std::vector<Region> joined;
    bool read = true;
    for (Region& region : regions_) {
        if (joined.empty() || joined.back().end() < region.first ||
            joined.back().may_be_ram != region.may_be_ram) {
            joined.push_back(std::move(region));
            continue;
        }
        Region& last = joined.back();
        if (last.end() == region.first) {
            for (Piece& piece : region.pieces) {
                append(last, std::move(piece));
            }
            continue;
        }
        read = load(last) && load(region) && read;
        std::vector<std::uint8_t>& bytes = last.pieces.front().bytes;
        const std::vector<std::uint8_t>& later = region.pieces.front().bytes;
        const std::size_t overlap = static_cast<std::size_t>(
            std::min<std::uint64_t>(last.end() - region.first, region.size));
        std::memcpy(bytes.data() + (region.first - last.first), later.data(), overlap);
        bytes.insert(bytes.end(), later.begin() + static_cast<long>(overlap), later.end());
        last.size = last.pieces.front().size = bytes.size();
    }
    regions_ = std::move(joined);
    return read;
}

std::uint64_t Contents::byte_count() const {
    std::uint64_t count = 0;
    for (const Region& region : regions_) {
        count += region.size;
    }
    return count;
}

std::uint64_t Contents::exclude(std::uint64_t first, std::uint64_t last) {
    std::vector<Region> kept;
    std::uint64_t left_out = 0;
    for (Region& region : regions_) {
        if (region.end() <= first || region.first > last) {
            kept.push_back(std::move(region));
            continue;
        }
        // What lies before `first` and after `last` stays, each a region of its own.
        const std::uint64_t cut_from = std::max(region.first, first);
        const std::uint64_t cut_to = std::min(region.end(), last + 1);
        left_out += cut_to - cut_from;
        if (region.first < cut_from) {
            kept.push_back(region.slice(region.first, cut_from));
        }
        if (cut_to < region.end()) {
            kept.push_back(region.slice(cut_to, region.end()));
        }
    }
    regions_ = std::move(kept);
    return left_out;
}

const Region* Contents::find(std::uint64_t address) const {
    auto after = std::upper_bound(
        regions_.begin(), regions_.end(), address,
        [](std::uint64_t value, const Region& region) { return value < region.first; });
    if (after == regions_.begin()) {
        return nullptr;
    }
    const Region& region = *(after - 1);
    return address < region.end() ? &region : nullptr;
}

} // namespace hexstamp::image
