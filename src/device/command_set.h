// The command set the program speaks to the drive: the operation codes it sends, the WRITE BUFFER
// controls that program the flash, and the sense keys and additional sense codes its logic
// tests. Every test of a sense code goes through these names.
#pragma once

#include <cstdint>

namespace quiver {

// Operation codes.
constexpr std::uint8_t kOpTestUnitReady = 0x00;
constexpr std::uint8_t kOpInquiry = 0x12;
constexpr std::uint8_t kOpStartStopUnit = 0x1B;
constexpr std::uint8_t kOpWriteBuffer = 0x3B;
constexpr std::uint8_t kOpReadBuffer = 0x3C;
constexpr std::uint8_t kOpGetEventStatus = 0x4A;
constexpr std::uint8_t kOpReadFlashId = 0xDF;  // vendor-specific

// The control byte of WRITE BUFFER: a block of the image (0), the flash profile (0x7F), and the
// two commands that program the flash and carry no data.
constexpr std::uint8_t kWriteImageBlock = 0x00;
constexpr std::uint8_t kWriteFlashProfile = 0x7F;
constexpr std::uint8_t kProgramFlash = 0x80;
constexpr std::uint8_t kProgramFlashWithBootCode = 0xA0;

constexpr bool IsProgramControl(std::uint8_t control) {
    return control == kProgramFlash || control == kProgramFlashWithBootCode;
}

// Sense keys.
constexpr std::uint8_t kNoSense = 0x0;
constexpr std::uint8_t kNotReady = 0x2;
constexpr std::uint8_t kIllegalRequest = 0x5;
constexpr std::uint8_t kUnitAttention = 0x6;

// Additional sense codes.
constexpr std::uint8_t kLogicalUnitNotReady = 0x04;
constexpr std::uint8_t kMediumNotPresent = 0x3A;

// The event class of GET EVENT STATUS NOTIFICATION that reports the media, and the bit of its
// media status byte that tells an open tray.
constexpr std::uint8_t kMediaEventClass = 0x10;
constexpr std::uint8_t kTrayOpenBit = 0x01;

}  // namespace quiver
