// The command blocks the program sends, one builder per command. Every block is 12 bytes, made
// from its template with the parameters stored into it; multi-byte fields are big-endian.
#pragma once

#include <array>
#include <cstdint>

#include "device/command_set.h"

namespace quiver::blocks {

using CommandBlock = std::array<std::uint8_t, 12>;

namespace detail {

constexpr void Put24(CommandBlock& cdb, std::size_t at, std::uint32_t value) {
    cdb[at] = static_cast<std::uint8_t>(value >> 16);
    cdb[at + 1] = static_cast<std::uint8_t>(value >> 8);
    cdb[at + 2] = static_cast<std::uint8_t>(value);
}

}  // namespace detail

constexpr CommandBlock TestUnitReady() {
    return CommandBlock{kOpTestUnitReady};
}

constexpr CommandBlock Inquiry(std::uint8_t cmdDt, std::uint8_t evpd, std::uint8_t pageCode,
                               std::uint8_t allocationLength, std::uint8_t control) {
    CommandBlock cdb{kOpInquiry};
    cdb[1] = static_cast<std::uint8_t>((cmdDt & 1) * 2 + (evpd & 1));
    cdb[2] = pageCode;
    cdb[4] = allocationLength;
    cdb[5] = control;
    return cdb;
}

constexpr CommandBlock StartStopUnit(std::uint8_t immediate, std::uint8_t powerCondition,
                                     std::uint8_t loadEject, std::uint8_t start) {
    CommandBlock cdb{kOpStartStopUnit};
    cdb[1] = immediate & 1;
    cdb[4] =
        static_cast<std::uint8_t>((powerCondition & 0x0F) * 16 + (loadEject & 1) * 2 + (start & 1));
    return cdb;
}

constexpr CommandBlock GetEventStatus(std::uint8_t polled, std::uint8_t classRequest,
                                      std::uint32_t allocationLength, std::uint8_t control) {
    CommandBlock cdb{kOpGetEventStatus};
    cdb[1] = polled & 1;
    cdb[4] = classRequest;
    cdb[7] = static_cast<std::uint8_t>(allocationLength >> 8);
    cdb[8] = static_cast<std::uint8_t>(allocationLength);
    cdb[9] = control;
    return cdb;
}

// The drive's flash-chip identification (vendor-specific).
constexpr CommandBlock ReadFlashId() {
    return CommandBlock{kOpReadFlashId, 0x11};
}

// Mode 1 (vendor-specific), buffer 1.
constexpr CommandBlock ReadBuffer(std::uint32_t offset, std::uint32_t length) {
    CommandBlock cdb{kOpReadBuffer, 0x01, 0x01};
    detail::Put24(cdb, 3, offset);
    detail::Put24(cdb, 6, length);
    return cdb;
}

// Mode 5 (download microcode and save), buffer 1.
constexpr CommandBlock WriteBuffer(std::uint32_t offset, std::uint32_t length,
                                   std::uint8_t control) {
    CommandBlock cdb{kOpWriteBuffer, 0x05, 0x01};
    detail::Put24(cdb, 3, offset);
    detail::Put24(cdb, 6, length);
    cdb[9] = control;
    return cdb;
}

}  // namespace quiver::blocks
