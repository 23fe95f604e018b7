#include "image/patch.hpp"

#include <algorithm>

namespace hexstamp::image {

std::uint8_t Patch::visit(std::uint64_t address, std::uint8_t byte) {
    if (!range.holds(address)) {
        return byte;
    }
    const std::size_t index = static_cast<std::size_t>(address - range.first);
    found[index] = byte;
    present[index] = true;
    return stamp != nullptr ? stamp[index] : byte;
}

bool Patch::visit_record(std::uint64_t address, std::uint8_t* data, std::size_t count) {
    if (contents != nullptr) {
        contents->add(address, data, count);
    }
    // Most records lie outside the range: only those that reach into it are looked into.
    const bool touched = count > 0 && address <= range.last && address + count - 1 >= range.first;
    for (std::size_t index = 0; touched && index < count; ++index) {
        data[index] = visit(address + index, data[index]);
    }
    return (!extras.empty() && write_extras(address, data, count)) || touched;
}

bool Patch::write_extras(std::uint64_t address, std::uint8_t* data, std::size_t count) const {
    bool touched = false;
    for (const Extra& extra : extras) {
        const std::uint64_t from = std::max(address, extra.address);
        const std::uint64_t to = std::min(address + count, extra.address + extra.bytes.size());
        for (std::uint64_t at = from; at < to; ++at) {
            data[at - address] = extra.bytes[static_cast<std::size_t>(at - extra.address)];
            touched = true;
        }
    }
    return touched;
}

std::size_t Patch::missing() const {
    std::size_t count = 0;
    for (std::size_t index = 0; index < range.length(); ++index) {
        count += present[index] ? 0 : 1;
    }
    return count;
}

} // namespace hexstamp::image
