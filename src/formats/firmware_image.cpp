#include "formats/firmware_image.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <stdexcept>

namespace sim {
namespace {

constexpr std::size_t kMagicLength = sizeof kImageMagic - 1;
constexpr std::size_t kSizeAt = 0x10;
constexpr std::size_t kRevisionAt = 0x14;
constexpr std::size_t kVendorAt = 0x18;
constexpr std::size_t kProductAt = 0x20;
constexpr std::size_t kBuildAt = 0x30;
constexpr std::size_t kBodyAt = 0x40;
constexpr std::size_t kVendorLength = kProductAt - kVendorAt;
constexpr std::size_t kProductLength = kBuildAt - kProductAt;
constexpr std::size_t kBuildLength = kBodyAt - kBuildAt;
static_assert(kMagicLength == kSizeAt);

constexpr char kVendor[] = "Korvane";
constexpr char kProduct[] = "DVDRW KMR-730T";

constexpr std::array<std::uint32_t, 256> MakeCrcTable() {
    std::array<std::uint32_t, 256> table{};
    for (std::uint32_t n = 0; n < 256; ++n) {
        std::uint32_t c = n;
        for (int k = 0; k < 8; ++k) {
            c = (c & 1) != 0 ? 0xEDB88320u ^ (c >> 1) : c >> 1;
        }
        table[n] = c;
    }
    return table;
}

constexpr std::array<std::uint32_t, 256> kCrcTable = MakeCrcTable();

void PutBig32(std::uint8_t* at, std::uint32_t value) {
    at[0] = static_cast<std::uint8_t>(value >> 24);
    at[1] = static_cast<std::uint8_t>(value >> 16);
    at[2] = static_cast<std::uint8_t>(value >> 8);
    at[3] = static_cast<std::uint8_t>(value);
}

std::uint32_t GetBig32(const std::uint8_t* at) {
    return (std::uint32_t{at[0]} << 24) | (std::uint32_t{at[1]} << 16) |
           (std::uint32_t{at[2]} << 8) | std::uint32_t{at[3]};
}

bool Printable(char c) {
    return c >= 0x20 && c <= 0x7E;
}

// Copies `text` into a field of `length` bytes, padded with `pad`.
void PutField(std::uint8_t* at, std::size_t length, const std::string& text, char pad) {
    std::memset(at, static_cast<unsigned char>(pad), length);
    std::memcpy(at, text.data(), text.size());
}

}  // namespace

std::uint32_t Crc32(const std::uint8_t* bytes, std::size_t length) {
    std::uint32_t c = 0xFFFFFFFFu;
    for (std::size_t i = 0; i < length; ++i) {
        c = kCrcTable[(c ^ bytes[i]) & 0xFF] ^ (c >> 8);
    }
    return c ^ 0xFFFFFFFFu;
}

std::vector<std::uint8_t> MakeFirmwareImage(const std::string& revision, std::uint32_t size,
                                            std::uint32_t seed, const std::string& build) {
    if (size < kImageBlock || size % kImageBlock != 0) {
        throw std::invalid_argument("firmware image size must be a non-zero multiple of 16384");
    }
    if (revision.size() != 4) {
        throw std::invalid_argument("firmware image revision must be 4 characters");
    }
    for (char c : revision) {
        if (!Printable(c))
            throw std::invalid_argument("firmware image revision must be ASCII");
    }
    if (build.size() > kBuildLength) {
        throw std::invalid_argument("firmware image build text is longer than 16 characters");
    }

    std::vector<std::uint8_t> image(size);
    std::uint8_t* const p = image.data();
    std::memcpy(p, kImageMagic, kMagicLength);
    PutBig32(p + kSizeAt, size);
    std::memcpy(p + kRevisionAt, revision.data(), 4);
    PutField(p + kVendorAt, kVendorLength, kVendor, ' ');
    PutField(p + kProductAt, kProductLength, kProduct, ' ');
    PutField(p + kBuildAt, kBuildLength, build, '\0');

    // xorshift32 over a state mixed from the seed; the state is never zero.
    std::uint32_t x = seed * 0x9E3779B9u ^ 0xA5A5A5A5u;
    if (x == 0)
        x = 1;
    for (std::size_t i = kBodyAt; i < size - 4; ++i) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        p[i] = static_cast<std::uint8_t>(x >> 24);
    }
    PutBig32(p + size - 4, Crc32(p, size - 4));
    return image;
}

std::optional<ImageInfo> ParseFirmwareImage(const std::uint8_t* bytes, std::size_t available) {
    if (bytes == nullptr || available < kBodyAt)
        return std::nullopt;
    if (std::memcmp(bytes, kImageMagic, kMagicLength) != 0)
        return std::nullopt;
    const std::uint32_t size = GetBig32(bytes + kSizeAt);
    if (size < kImageBlock || size % kImageBlock != 0 || size > available)
        return std::nullopt;
    if (Crc32(bytes, size - 4) != GetBig32(bytes + size - 4))
        return std::nullopt;

    ImageInfo info;
    info.size = size;
    info.revision.assign(reinterpret_cast<const char*>(bytes + kRevisionAt), 4);
    for (char c : info.revision) {
        if (!Printable(c))
            return std::nullopt;
    }
    info.vendor.assign(reinterpret_cast<const char*>(bytes + kVendorAt), kVendorLength);
    info.product.assign(reinterpret_cast<const char*>(bytes + kProductAt), kProductLength);
    const char* build = reinterpret_cast<const char*>(bytes + kBuildAt);
    info.build.assign(build, std::find(build, build + kBuildLength, '\0'));
    return info;
}

}  // namespace sim
