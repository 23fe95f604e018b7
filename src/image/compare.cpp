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

void Compared::differs(std::uint64_t address, int found_there, std::uint8_t expected_there) {
    equal = false;
    difference = address;
    found = found_there;
    expected = expected_there;
}

bool compare_images(const Contents& image, const Contents& other, std::vector<Compared>& result) {
    std::vector<std::uint8_t> ours(CompareBlock);
    std::vector<std::uint8_t> theirs(CompareBlock);
    for (const Region& region : image.regions()) {
        Compared compared = Compared::of(region);
        for (std::uint64_t at = region.first; at < region.end() && compared.equal;) {
            const Region* there = other.find(at);
            const std::uint64_t to = std::min(
                {region.end(), at + CompareBlock, there != nullptr ? there->end() : at + 1});
            const auto count = static_cast<std::size_t>(to - at);
            if (!region.read(at, count, ours.data()) ||
                (there != nullptr && !there->read(at, count, theirs.data()))) {
                return false;
            }
            const auto mismatch = std::mismatch(
                ours.begin(), ours.begin() + static_cast<long>(count), theirs.begin());
            if (there == nullptr) {
                compared.differs(at, -1, ours[0]);
            } else if (mismatch.first != ours.begin() + static_cast<long>(count)) {
                compared.differs(at + static_cast<std::uint64_t>(mismatch.first - ours.begin()),
                                 *mismatch.second, *mismatch.first);
            }
            at = to;
        }
        result.push_back(compared);
    }
    return true;
}

} // namespace hexstamp::image
