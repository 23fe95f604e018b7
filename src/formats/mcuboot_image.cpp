#include "digest/hash.hpp"
#include "formats/format.hpp"
#include "image/file_access.hpp"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <vector>

// An MCUboot image: a 32-byte header (magic, load address, header size, protected TLV size,
// image size, flags, version), the application from the header size on, then the TLV areas:
// a protected one (0x6908) that the hash covers, and the other (0x6907) with the hash of the
// header, the application and the protected area. A signed image also carries a signature of
// that hash, which only its key can make anew: such an image is refused.
namespace hexstamp::image {

namespace {

constexpr std::uint32_t Magic = 0x96F3B83Du;
constexpr std::uint16_t ProtectedMagic = 0x6908, AreaMagic = 0x6907;
constexpr std::size_t HeaderSize = 32, AreaInfo = 4, EntryHeader = 4;
constexpr std::uint32_t EncryptedAes128 = 0x04, EncryptedAes256 = 0x08, Lzma1 = 0x200,
                        Lzma2 = 0x400;

std::uint16_t get_le16(const std::uint8_t* at) {
    return static_cast<std::uint16_t>(at[0] | at[1] << 8u);
}

struct Tlv {
    std::uint16_t type;
    std::uint16_t length;
    std::size_t value; // its offset in the image
};

// What the header and the TLV areas say, every offset checked against the image's bytes.
struct Layout {
    std::uint16_t header_size = 0, protected_size = 0;
    std::uint32_t image_size = 0, flags = 0;
    unsigned major = 0, minor = 0, revision = 0;
    unsigned long build = 0;
    std::size_t body_end = 0;   // the header and the application
    std::size_t hashed_end = 0; // and the protected TLV area
    std::size_t end = 0;        // and the other TLV area
    std::vector<Tlv> entries;
    const Tlv* hash = nullptr;
};

bool read_area(const std::uint8_t* image, std::size_t size, std::size_t at, std::uint16_t magic,
               Layout& layout, std::size_t& end, const Report& report) {
    if (size - at < AreaInfo || get_le16(image + at) != magic) {
        report.error(0, "no MCUboot TLV area (magic 0x%04X) at 0x%zX, where its header says",
                     unsigned{magic}, at);
        return false;
    }
    end = at + get_le16(image + at + 2);
    if (end > size || end < at + AreaInfo) {
        report.error(0, "the MCUboot TLV area at 0x%zX says it holds %u bytes, more than the file",
                     at, unsigned{get_le16(image + at + 2)});
        return false;
    }
    for (std::size_t entry = at + AreaInfo; entry < end;) {
        const std::uint16_t length =
            end - entry >= EntryHeader ? get_le16(image + entry + 2) : std::uint16_t{0xFFFF};
        if (end - entry < EntryHeader || length > end - entry - EntryHeader) {
            report.error(0, "an MCUboot TLV at 0x%zX runs past the end of its area", entry);
            return false;
        }
        layout.entries.push_back({get_le16(image + entry), length, entry + EntryHeader});
        entry += EntryHeader + length;
    }
    return true;
}

std::size_t hash_size(std::uint16_t type) {
    return type == 0x10 ? 32 : type == 0x11 ? 48 : type == 0x12 ? 64 : 0;
}

bool parse(const std::uint8_t* image, std::size_t size, Layout& layout, const Report& report) {
    if (size < HeaderSize || get_le32(image) != Magic) {
        report.error(0, "an MCUboot header needs 32 bytes, the image has %zu", size);
        return false;
    }
    layout.header_size = get_le16(image + 8);
    layout.protected_size = get_le16(image + 10);
    layout.image_size = get_le32(image + 12);
    layout.flags = get_le32(image + 16);
    layout.major = image[20];
    layout.minor = image[21];
    layout.revision = get_le16(image + 22);
    layout.build = get_le32(image + 24);
    layout.body_end = std::size_t{layout.header_size} + layout.image_size;
    if (layout.header_size < HeaderSize || layout.image_size > size ||
        layout.body_end > size - std::min<std::size_t>(size, AreaInfo)) {
        report.error(0,
                     "its MCUboot header says %u bytes of header and %lu of image, more than "
                     "the file's %zu",
                     unsigned{layout.header_size}, static_cast<unsigned long>(layout.image_size),
                     size);
        return false;
    }
    layout.hashed_end = layout.body_end;
    if (layout.protected_size != 0 &&
        (!read_area(image, size, layout.body_end, ProtectedMagic, layout, layout.hashed_end,
                    report) ||
         layout.hashed_end != layout.body_end + layout.protected_size)) {
        report.error(0, "the protected TLV area is not the %u bytes the header says",
                     unsigned{layout.protected_size});
        return false;
    }
    const std::size_t unprotected = layout.entries.size();
    if (!read_area(image, size, layout.hashed_end, AreaMagic, layout, layout.end, report)) {
        return false;
    }
    for (std::size_t index = unprotected; index < layout.entries.size(); ++index) {
        const Tlv& entry = layout.entries[index];
        if (hash_size(entry.type) != 0 && entry.length != hash_size(entry.type)) {
            report.error(0, "its hash TLV 0x%02X holds %u bytes, not %zu", unsigned{entry.type},
                         unsigned{entry.length}, hash_size(entry.type));
            return false;
        }
        layout.hash = hash_size(entry.type) != 0 ? &entry : layout.hash;
    }
    return true;
}

// Why the image's hash may not be made anew, or null.
const char* refusal(const Layout& layout) {
    for (const Tlv& entry : layout.entries) {
        switch (entry.type) {
        case 0x01:
            return "it carries the hash of a signing key (TLV 0x01)";
        case 0x02:
            return "it carries a public key (TLV 0x02)";
        case 0x20:
            return "it is signed (TLV 0x20, RSA-2048-PSS)";
        case 0x21:
            return "it is signed (TLV 0x21, ECDSA-224)";
        case 0x22:
            return "it is signed (TLV 0x22, an ECDSA signature)";
        case 0x23:
            return "it is signed (TLV 0x23, RSA-3072-PSS)";
        case 0x24:
            return "it is signed (TLV 0x24, ED25519)";
        case 0x25:
            return "it is signed without a hash (TLV 0x25, a pure signature)";
        default:
            break;
        }
        if (entry.type >= 0x30 && entry.type <= 0x34) {
            return "its key is encrypted for the device (TLV 0x30 to 0x34)";
        }
        if (entry.type >= 0x70 && entry.type <= 0x73) {
            return "it is compressed (TLV 0x70 to 0x73)";
        }
    }
    if ((layout.flags & (EncryptedAes128 | EncryptedAes256)) != 0) {
        return "it is encrypted (flags 0x04 or 0x08)";
    }
    if ((layout.flags & (Lzma1 | Lzma2)) != 0) {
        return "it is compressed (flags 0x200 or 0x400)";
    }
    return layout.hash == nullptr ? "it carries no hash TLV (0x10, 0x11 or 0x12)" : nullptr;
}

std::vector<std::uint8_t> hash_of(const std::uint8_t* image, const Layout& layout) {
    if (layout.hash->type == 0x10) {
        digest::Sha256 sha256;
        sha256.add(image, layout.hashed_end);
        const auto sum = sha256.finish();
        return {sum.begin(), sum.end()};
    }
    digest::Sha512 sha(layout.hash->type == 0x11 ? digest::Sha512::Variant::Sha384
                                                 : digest::Sha512::Variant::Sha512);
    sha.add(image, layout.hashed_end);
    const auto sum = sha.finish();
    return {sum.begin(), sum.begin() + static_cast<long>(sha.size())};
}

const char* hash_name(const Tlv& hash) {
    return hash.type == 0x10 ? "SHA-256" : hash.type == 0x11 ? "SHA-384" : "SHA-512";
}

// "MCUboot image 1.2.3+4, its SHA-256 holds", as text and as JSON members; `hash` is null for
// an image that carries none.
void name(const Layout& layout, const char* hash, bool holds, Patch& patch) {
    char version[48];
    std::snprintf(version, sizeof version, "%u.%u.%u+%lu", layout.major, layout.minor,
                  layout.revision, layout.build);
    const char* const verdict = hash == nullptr ? "" : holds ? " holds" : " does not hold";
    char text[160];
    std::snprintf(text, sizeof text, "MCUboot image %s, %s%s%s", version,
                  hash == nullptr ? "with no hash TLV" : "its ", hash == nullptr ? "" : hash,
                  verdict);
    patch.identity = text;
    std::snprintf(text, sizeof text,
                  "\"mcuboot\": {\"version\": \"%s\", \"hash\": %s%s%s, \"hash_holds\": %s}",
                  version, hash == nullptr ? "null" : "\"", hash == nullptr ? "" : hash,
                  hash == nullptr ? "" : "\"", holds ? "true" : "false");
    patch.identity_json = text;
}

// The version and whether the hash holds beside the stamp, of the image that holds the range
// when a file holds several. The hash is among verify's checks; an image whose hash does not
// hold is refused a stamp, which would otherwise hide that under a new one.
bool describe(const std::uint8_t* image, const Layout& layout, const Job& job, bool name_it) {
    const bool holds =
        layout.hash != nullptr &&
        hash_of(image, layout) ==
            std::vector<std::uint8_t>(image + layout.hash->value,
                                      image + layout.hash->value + layout.hash->length);
    const char* hash = layout.hash != nullptr ? hash_name(*layout.hash) : nullptr;
    if (name_it) {
        name(layout, hash, holds, job.patch);
    }
    const bool checking = layout.hash != nullptr && (job.out != nullptr || job.checks != nullptr);
    return !checking ||
           checked(job.report, job.checks, holds, "image hash", 0,
                   "the MCUboot image's %s is not the hash of its header and application; it "
                   "was changed after it was made",
                   hash);
}

// The stamp may go into the application of an image whose hash can be made anew.
bool may_stamp(const Layout& layout, std::uint64_t start, const Job& job) {
    const Range& range = job.patch.range;
    const std::uint64_t body = start + layout.header_size;
    const std::uint64_t body_end = start + layout.body_end;
    const char* where = range.first < start || range.last >= start + layout.end ? "outside"
                        : range.first < body                                    ? "in the header of"
                        : range.last >= body_end ? "in the TLV area of"
                                                 : nullptr;
    if (where != nullptr) {
        job.report.error(0,
                         "0x%08X-0x%08X lies %s the MCUboot image at 0x%08llX; a stamp goes into "
                         "its application, 0x%08llX-0x%08llX",
                         unsigned{range.first}, unsigned{range.last}, where,
                         static_cast<unsigned long long>(start),
                         static_cast<unsigned long long>(body),
                         static_cast<unsigned long long>(body_end - 1));
        return false;
    }
    if (const char* why = refusal(layout)) {
        job.report.error(0,
                         "the MCUboot image at 0x%08llX cannot take a stamp: %s, and its boot "
                         "loader would refuse it. Stamp the ELF (or the unsigned .bin or .hex) "
                         "before the image is signed, or sign it again afterwards with the same "
                         "key",
                         static_cast<unsigned long long>(start), why);
        return false;
    }
    return true;
}

// With the range stamped, the hash made anew, as an extra of the patch.
void renew_hash(std::vector<std::uint8_t> image, const Layout& layout, std::uint64_t start,
                const Job& job) {
    const Range& range = job.patch.range;
    std::memcpy(image.data() + (range.first - start), job.patch.stamp, range.length());
    job.patch.extras.push_back({start + layout.hash->value, hash_of(image.data(), layout)});
}

bool is_mcuboot(const Probe& probe) {
    return probe.read >= 4 && is_mcuboot_magic(probe.start);
}

// A DFU suffix ends with "UFD", its length (16) and a CRC of the whole file.
bool has_dfu_suffix(const std::vector<std::uint8_t>& file) {
    const std::size_t size = file.size();
    return size >= 16 && std::memcmp(file.data() + size - 8, "UFD\x10", 4) == 0;
}

// A .bin: its first byte is the slot's, at --base.
bool process(const Job& job) {
    std::vector<std::uint8_t> file;
    Layout layout;
    const std::uint64_t start = job.parameters.base;
    if (!read_whole_file(job.in, job.report, file) ||
        !parse(file.data(), file.size(), layout, job.report)) {
        return false;
    }
    if (job.out != nullptr && has_dfu_suffix(file)) {
        job.report.error(0, "an MCUboot image with a DFU suffix, whose CRC would no longer "
                            "hold: stamp the image before the suffix is added");
        return false;
    }
    const bool stamping = job.out != nullptr && job.patch.stamp != nullptr;
    if ((stamping && !may_stamp(layout, start, job)) || !describe(file.data(), layout, job, true)) {
        return false;
    }
    if (stamping) {
        renew_hash(file, layout, start, job);
    }
    job.patch.visit_record(start, file.data(), file.size());
    write_bytes(job.out, file);
    return true;
}

} // namespace

bool is_mcuboot_magic(const std::uint8_t* at) {
    return get_le32(at) == Magic;
}

bool examine_mcuboot(const Contents& contents, std::uint64_t start, const Job& job, bool& holds) {
    holds = false;
    const Region* region = contents.find(start);
    const Report quiet{nullptr, job.report.file};
    const std::uint64_t held = region != nullptr ? region->end() - start : 0;
    std::uint8_t header[HeaderSize];
    if (held < HeaderSize || !region->read(start, HeaderSize, header)) {
        return true;
    }
    // As far as the image can reach: its header and application, then two TLV areas of at
    // most 64 KiB each.
    const std::uint64_t reach = std::min<std::uint64_t>(
        held, std::uint64_t{get_le16(header + 8)} + get_le32(header + 12) + 2 * 0x10000);
    std::vector<std::uint8_t> image(reach <= SIZE_MAX ? static_cast<std::size_t>(reach) : 0);
    Layout layout;
    // Bytes that only look like a header, or an image the file holds in part, are no image.
    if (image.size() < HeaderSize || !region->read(start, image.size(), image.data()) ||
        !parse(image.data(), image.size(), layout, quiet)) {
        return true;
    }
    image.resize(layout.end);
    const Range& range = job.patch.range;
    holds = range.last >= start && range.first < start + layout.end;
    const bool stamping = job.out != nullptr && job.patch.stamp != nullptr && holds;
    if ((stamping && !may_stamp(layout, start, job)) ||
        ((holds || job.checks != nullptr) &&
         !describe(image.data(), layout, job, holds || job.patch.identity.empty()))) {
        return false;
    }
    if (stamping) {
        renew_hash(image, layout, start, job);
    }
    return true;
}

extern const Format McubootFormat;
const Format McubootFormat{"an MCUboot image", false, true, is_mcuboot, process, nullptr};

} // namespace hexstamp::image
