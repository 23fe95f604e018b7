#include "image/compare.hpp"

#include <algorithm>

namespace hexstamp::image {

Compared Compared::of(const Region& region) {
    Compared compared;
    compared.first = region.first;
    compared.last = region.end() - 1;
    compared.may_be_ram = region.may_be_ram;
    return compared;
}

void Compared::differs(const Region& region, std::uint64_t address, int found_there) {
    equal = false;
    difference = address;
    found = found_there;
    expected = region.bytes[static_cast<std::size_t>(address - region.first)];
}

std::vector<Compared> compare_images(const Contents& image, const Contents& other) {
    std::vector<Compared> result;
    for (const Region& region : image.regions()) {
        Compared compared = Compared::of(region);
        for (std::uint64_t at = region.first; at < region.end() && compared.equal;) {
            const Region* there = other.find(at);
            if (there == nullptr) {
                compared.differs(region, at, -1);
                break;
            }
            const std::uint64_t to = std::min(region.end(), there->end());
            const std::uint8_t* ours = region.bytes.data() + (at - region.first);
            const std::uint8_t* theirs = there->bytes.data() + (at - there->first);
            const auto mismatch = std::mismatch(ours, ours + (to - at), theirs);
            if (mismatch.first != ours + (to - at)) {
                compared.differs(region, at + static_cast<std::uint64_t>(mismatch.first - ours),
                                 *mismatch.second);
            }
            at = to;
        }
        result.push_back(compared);
    }
    return result;
}

} // namespace hexstamp::image
