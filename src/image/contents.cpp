#include "image/contents.hpp"

#include "platform/files.hpp"

#include <algorithm>
#include <cstring>
#include <utility>

namespace hexstamp::image {

namespace {

// A region whose bytes the next one continues in the same file.
bool continues_in_file(const Region& before, const Region& after) {
    return before.file != nullptr && before.file == after.file && before.end() == after.first &&
           before.offset + before.size == after.offset;
}

// Brings a region's bytes into memory, where regions that overlap are joined.
bool load(Region& region) {
    if (region.file == nullptr) {
        return true;
    }
    region.bytes.resize(static_cast<std::size_t>(region.size));
    const bool read = region.read(region.first, region.bytes.size(), region.bytes.data());
    region.file = nullptr;
    return read;
}

} // namespace

bool Region::read(std::uint64_t address, std::size_t count, std::uint8_t* into) const {
    const std::uint64_t at = address - first;
    if (file == nullptr) {
        std::memcpy(into, bytes.data() + at, count);
        return true;
    }
    return platform::seek(file, offset + at) && std::fread(into, 1, count, file) == count;
}

void Contents::add(std::uint64_t address, const std::uint8_t* bytes, std::size_t count,
                   bool may_be_ram) {
    if (count == 0) {
        return;
    }
    if (regions_.empty() || regions_.back().file != nullptr || regions_.back().end() != address ||
        regions_.back().may_be_ram != may_be_ram) {
        regions_.push_back(Region{address, 0, {}, nullptr, 0, may_be_ram});
    }
    Region& last = regions_.back();
    last.bytes.insert(last.bytes.end(), bytes, bytes + count);
    last.size = last.bytes.size();
}

void Contents::add_file(std::uint64_t address, std::FILE* file, std::uint64_t offset,
                        std::uint64_t size, bool may_be_ram) {
    if (size > 0) {
        regions_.push_back(Region{address, size, {}, file, offset, may_be_ram});
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
        if (continues_in_file(last, region)) {
            last.size += region.size;
            continue;
        }
        read = load(last) && load(region) && read;
        const std::size_t overlap = static_cast<std::size_t>(
            std::min<std::uint64_t>(last.end() - region.first, region.size));
        std::memcpy(last.bytes.data() + (region.first - last.first), region.bytes.data(), overlap);
        last.bytes.insert(last.bytes.end(), region.bytes.begin() + static_cast<long>(overlap),
                          region.bytes.end());
        last.size = last.bytes.size();
    }
    regions_ = std::move(joined);
    return read;
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
        for (const auto& [from, to] : {std::make_pair(region.first, cut_from),
                                       std::make_pair(cut_to, region.end())}) {
            if (from >= to) {
                continue;
            }
            Region part{from, to - from, {}, region.file, region.offset + (from - region.first),
                        region.may_be_ram};
            if (region.file == nullptr) {
                const auto begin = region.bytes.begin() + static_cast<long>(from - region.first);
                part.bytes.assign(begin, begin + static_cast<long>(to - from));
            }
            kept.push_back(std::move(part));
        }
    }
    regions_ = std::move(kept);
    return left_out;
}

std::uint64_t Contents::byte_count() const {
    std::uint64_t count = 0;
    for (const Region& region : regions_) {
        count += region.size;
    }
    return count;
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
