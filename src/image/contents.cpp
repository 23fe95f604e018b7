#include "image/contents.hpp"

#include <algorithm>
#include <cstring>
#include <utility>

namespace hexstamp::image {

void Contents::add(std::uint64_t address, const std::uint8_t* bytes, std::size_t count,
                   bool may_be_ram) {
    if (count == 0) {
        return;
    }
    if (regions_.empty() || regions_.back().end() != address ||
        regions_.back().may_be_ram != may_be_ram) {
        regions_.push_back(Region{address, {}, may_be_ram});
    }
    regions_.back().bytes.insert(regions_.back().bytes.end(), bytes, bytes + count);
}

void Contents::finish() {
    // A stable sort keeps the file's order among regions that start together: the later
    // one's bytes win, as a programmer writing them in order leaves them.
    std::stable_sort(regions_.begin(), regions_.end(), [](const Region& one, const Region& other) {
        return one.first < other.first;
    });
    std::vector<Region> joined;
    for (Region& region : regions_) {
        if (joined.empty() || joined.back().end() < region.first ||
            joined.back().may_be_ram != region.may_be_ram) {
            joined.push_back(std::move(region));
            continue;
        }
        Region& last = joined.back();
        const std::size_t overlap = static_cast<std::size_t>(
            std::min<std::uint64_t>(last.end() - region.first, region.bytes.size()));
        std::memcpy(last.bytes.data() + (region.first - last.first), region.bytes.data(), overlap);
        last.bytes.insert(last.bytes.end(), region.bytes.begin() + static_cast<long>(overlap),
                          region.bytes.end());
    }
    regions_ = std::move(joined);
}

std::uint64_t Contents::byte_count() const {
    std::uint64_t count = 0;
    for (const Region& region : regions_) {
        count += region.bytes.size();
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
