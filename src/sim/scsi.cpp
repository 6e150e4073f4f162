#include "sim/scsi.h"

#include <cstdio>
#include <cstring>

namespace sim {

std::array<std::uint8_t, kSenseBytes> FixedSense(Sense s) {
    std::array<std::uint8_t, kSenseBytes> b{};
    b[0] = 0x70;
    b[2] = static_cast<std::uint8_t>(s.key & 0x0F);
    b[7] = static_cast<std::uint8_t>(kSenseBytes - 8);
    b[12] = s.asc;
    b[13] = s.ascq;
    return b;
}

std::uint64_t DataDigest(const std::uint8_t* bytes, std::size_t length) {
    if (bytes == nullptr || length == 0) {
        return 0;
    }
    // Eight bytes a step, each word folded in by multiplication and rotation; the length goes
    // in last, so that strings that differ only in trailing zero bytes differ too.
    constexpr std::uint64_t kMultiplier = 0x9E3779B97F4A7C15ull;
    std::uint64_t h = 0xCBF29CE484222325ull;
    std::size_t i = 0;
    for (; i + 8 <= length; i += 8) {
        std::uint64_t word;
        std::memcpy(&word, bytes + i, 8);
        h = (h ^ word) * kMultiplier;
        h ^= h >> 29;
    }
    std::uint64_t tail = 0;
    for (std::size_t k = 0; i + k < length; ++k) {
        tail |= std::uint64_t{bytes[i + k]} << (8 * k);
    }
    h = (h ^ tail) * kMultiplier;
    h ^= h >> 29;
    h = (h ^ length) * kMultiplier;
    h ^= h >> 32;
    return h != 0 ? h : 1;
}

SenseData SenseData::Fixed(Sense s) {
    const auto fixed = FixedSense(s);
    return Raw(fixed.data(), fixed.size());
}

SenseData SenseData::Raw(const std::uint8_t* data, std::size_t size) {
    SenseData d;
    d.length = static_cast<std::uint8_t>(size < kMaxBytes ? size : kMaxBytes);
    for (std::size_t i = 0; i < d.length; ++i) {
        d.bytes[i] = data[i];
    }
    return d;
}

Sense SenseData::Decoded() const {
    auto at = [this](std::size_t i) { return i < length ? bytes[i] : std::uint8_t{0}; };
    return Sense{static_cast<std::uint8_t>(at(2) & 0x0F), at(12), at(13)};
}

std::string LoggedCommand::CdbHex() const {
    std::string out;
    char hex[4];
    for (std::size_t i = 0; i < cdbLength && i < cdb.size(); ++i) {
        std::snprintf(hex, sizeof hex, i == 0 ? "%02X" : " %02X", cdb[i]);
        out += hex;
    }
    return out;
}

}  // namespace sim
