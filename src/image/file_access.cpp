#include "image/file_access.hpp"

#include "platform/file_copy.hpp"
#include "platform/files.hpp"

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace hexstamp::image {

bool file_size(std::FILE* in, const Report& report, std::uint64_t& size) {
    if (!platform::size_of(in, size)) {
        report.error(0, "cannot tell the file's size: %s", std::strerror(errno));
        return false;
    }
    return true;
}

bool read_at(std::FILE* in, std::uint64_t offset, void* bytes, std::size_t count) {
    return platform::seek(in, offset) && std::fread(bytes, 1, count, in) == count;
}

bool read_whole_file(std::FILE* in, const Report& report, std::vector<std::uint8_t>& bytes) {
    std::uint64_t size = 0;
    if (!file_size(in, report, size)) {
        return false;
    }
    if (size > bytes.max_size()) {
        report.error(0, "too large to read whole: %llu bytes",
                     static_cast<unsigned long long>(size));
        return false;
    }
    bytes.resize(static_cast<std::size_t>(size));
    if (!read_at(in, 0, bytes.data(), bytes.size())) {
        report.error(0, "cannot read the whole file: %s",
                     std::ferror(in) != 0 ? std::strerror(errno) : "it ended early");
        return false;
    }
    return true;
}

void write_bytes(std::FILE* out, const std::vector<std::uint8_t>& bytes) {
    if (out != nullptr) {
        std::fwrite(bytes.data(), 1, bytes.size(), out);
    }
}

bool copy_patched(std::FILE* in, std::uint64_t size, std::uint64_t offset, std::FILE* out,
                  Patch& patch, const Report& report) {
    // The range's bytes are all there is to read; the rest of the file, at most 16 bytes
    // apart, is copied by the kernel where it can.
    const std::size_t length =
        offset < size
            ? static_cast<std::size_t>(std::min<std::uint64_t>(size - offset, patch.range.length()))
            : 0;
    std::uint8_t bytes[MaxStampLength] = {};
    bool ok =
        (out == nullptr || length == patch.range.length()) && read_at(in, offset, bytes, length);
    for (std::size_t index = 0; ok && index < length; ++index) {
        bytes[index] = patch.visit(patch.range.first + index, bytes[index]);
    }
    ok = ok && (out == nullptr ||
                (platform::copy_file_data(in, out, size) && platform::seek(out, offset) &&
                 std::fwrite(bytes, 1, length, out) == length));
    if (!ok && out != nullptr && std::ferror(out) != 0) {
        report.error(0, "cannot write the stamped copy: %s", std::strerror(errno));
    } else if (!ok) {
        report.error(0, "cannot read the whole file: %s",
                     std::ferror(in) != 0 || length == patch.range.length() ? std::strerror(errno)
                                                                            : "it ended early");
    }
    return ok;
}

} // namespace hexstamp::image
