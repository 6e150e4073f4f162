// The command set the emulated drive answers, and the small helpers its files share: opcodes,
// control bytes, field readers and the text padding of INQUIRY. Not part of the drive's
// interface.
#pragma once

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <string>

#include "sim/drive.h"

namespace sim::drive_detail {

constexpr std::uint8_t kTestUnitReady = 0x00;
constexpr std::uint8_t kRequestSense = 0x03;
constexpr std::uint8_t kInquiry = 0x12;
constexpr std::uint8_t kStartStopUnit = 0x1B;
constexpr std::uint8_t kPreventAllow = 0x1E;
constexpr std::uint8_t kWriteBuffer = 0x3B;
constexpr std::uint8_t kReadBuffer = 0x3C;
constexpr std::uint8_t kGetConfiguration = 0x46;
constexpr std::uint8_t kGetEventStatus = 0x4A;
constexpr std::uint8_t kReportLuns = 0xA0;
constexpr std::uint8_t kReadFlashId = 0xDF;

constexpr std::uint8_t kFlashIdSubcommand = 0x11;
constexpr std::uint32_t kFlashIdReplyBytes = 128;
constexpr std::uint32_t kInquiryBytes = 96;

// WRITE BUFFER control bytes of the download.
constexpr std::uint8_t kControlData = 0x00;
constexpr std::uint8_t kControlProfile = 0x7F;
constexpr std::uint8_t kControlProgram = 0x80;
constexpr std::uint8_t kControlProgramWithBoot = 0xA0;
// A control-0 write of anything but a whole block here carries a short flash profile.
constexpr std::uint32_t kShortProfileOffset = 0x080000;

// Media event codes of GET EVENT STATUS NOTIFICATION.
constexpr std::uint8_t kEventNewMedia = 2;
constexpr std::uint8_t kEventMediaRemoval = 3;

// The smallest command block that holds the fields of an opcode's group.
inline std::size_t GroupCdbLength(std::uint8_t opcode) {
    switch (opcode >> 5) {
        case 0:
            return 6;
        case 1:
        case 2:
            return 10;
        case 4:
            return 16;
        case 5:
            return 12;
        default:
            return 2;  // reserved and vendor-specific groups: opcode and one field byte
    }
}

inline std::uint32_t Be24(const std::array<std::uint8_t, 16>& c, std::size_t at) {
    return (std::uint32_t{c[at]} << 16) | (std::uint32_t{c[at + 1]} << 8) | c[at + 2];
}

inline std::uint32_t Be16(const std::array<std::uint8_t, 16>& c, std::size_t at) {
    return (std::uint32_t{c[at]} << 8) | c[at + 1];
}

// Copies `text` into `width` bytes, blank-padded (cut when longer).
inline void PutText(std::uint8_t* to, std::size_t width, const std::string& text) {
    for (std::size_t i = 0; i < width; ++i) {
        to[i] = i < text.size() ? static_cast<std::uint8_t>(text[i]) : ' ';
    }
}

inline std::string Padded(const std::string& text, std::size_t width) {
    std::string out = text.substr(0, std::min(width, text.size()));
    out.resize(width, ' ');
    return out;
}

inline int AttentionRank(const Sense& s) {
    return s.asc == 0x29 ? 2 : 1;
}

inline bool Fires(const Fault& fault, std::uint32_t match) {
    const std::uint64_t first = std::max<std::uint32_t>(fault.first, 1);
    if (match < first) {
        return false;
    }
    return fault.count == 0 || match < first + fault.count;
}

inline std::int64_t Nanos(double seconds) {
    return seconds > 0.0 ? static_cast<std::int64_t>(std::llround(seconds * 1e9)) : 0;
}

}  // namespace sim::drive_detail
