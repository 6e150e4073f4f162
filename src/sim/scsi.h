// What an emulated SCSI target gets and answers: the contract between the emulated drives and
// whatever carries commands to them (the pass-through of the emulated OS, the emulated ASPI
// manager, the SG_IO interposer).
#pragma once

#include <array>
#include <cstdint>
#include <string>

namespace sim {

enum class DataDir : std::uint8_t { None, In, Out };

// How a command ended, as the carrier sees it.
enum class Completion : std::uint8_t {
    Good,              // status GOOD
    CheckCondition,    // status CHECK CONDITION, sense data valid
    TransportFailure,  // the command never completed: no status, no sense (bus error, gone)
};

struct Sense {
    std::uint8_t key = 0;
    std::uint8_t asc = 0;
    std::uint8_t ascq = 0;

    bool operator==(const Sense&) const = default;
};

// Fixed-format sense data, 18 bytes: byte 0 0x70, byte 2 the key, byte 7 the additional length
// (10), bytes 12 and 13 ASC and ASCQ.
constexpr std::size_t kSenseBytes = 18;
std::array<std::uint8_t, kSenseBytes> FixedSense(Sense s);

// The sense bytes a drive sends with CHECK CONDITION: fixed-format data of its sense, or bytes
// a fault stages as they are (another response code, the filemark, end-of-medium and
// length-indicator bits above the key, a short reply).
struct SenseData {
    static constexpr std::size_t kMaxBytes = 32;
    std::array<std::uint8_t, kMaxBytes> bytes{};
    std::uint8_t length = 0;

    static SenseData Fixed(Sense s);
    // The first kMaxBytes of `data`.
    static SenseData Raw(const std::uint8_t* data, std::size_t size);
    // The key, ASC and ASCQ read as fixed-format data, whatever the response code: the low 4
    // bits of byte 2, bytes 12 and 13; a byte not sent reads 0.
    Sense Decoded() const;
};

struct CommandResult {
    Completion completion = Completion::Good;
    Sense sense;                    // valid with CheckCondition: senseData decoded
    SenseData senseData;            // valid with CheckCondition: what the carrier hands on
    std::uint32_t transferred = 0;  // bytes moved in the data phase
    bool vanished = false;          // TransportFailure because the device is gone
};

// One entry of a drive's command log.
struct LoggedCommand {
    std::array<std::uint8_t, 16> cdb{};
    std::uint8_t cdbLength = 0;
    DataDir dir = DataDir::None;
    std::uint32_t length = 0;  // transfer length the carrier declared
    Completion completion = Completion::Good;
    Sense sense;
    std::uint32_t transferred = 0;
    // DataDigest of the bytes the data phase moved (those the drive took of a data-out command,
    // those it returned of a data-in one); 0 without data.
    std::uint64_t dataDigest = 0;
    std::int64_t startNanos = 0;  // emulated time at the start of the command
    std::int64_t endNanos = 0;

    // "3B 05 01 00 00 00 00 40 00 00 00 00"
    std::string CdbHex() const;
};

// A 64-bit digest of a byte string, for telling from a command log which bytes crossed the bus
// without keeping them. Not cryptographic: two strings that differ in a byte differ in their
// digests for every practical purpose; never 0 for a non-empty string.
std::uint64_t DataDigest(const std::uint8_t* bytes, std::size_t length);

// Common sense values of the emulated drives.
namespace sense {
constexpr Sense kNone{0, 0, 0};
constexpr Sense kBecomingReady{2, 0x04, 0x01};
constexpr Sense kNoMedium{2, 0x3A, 0x00};
constexpr Sense kNoMediumTrayClosed{2, 0x3A, 0x01};
constexpr Sense kNoMediumTrayOpen{2, 0x3A, 0x02};
constexpr Sense kPowerOnReset{6, 0x29, 0x00};
constexpr Sense kMediumChanged{6, 0x28, 0x00};
constexpr Sense kMicrocodeChanged{6, 0x3F, 0x01};
constexpr Sense kInvalidOpcode{5, 0x20, 0x00};
constexpr Sense kInvalidFieldInCdb{5, 0x24, 0x00};
constexpr Sense kInvalidFieldInParameterList{5, 0x26, 0x00};
constexpr Sense kParameterListLengthError{5, 0x1A, 0x00};
constexpr Sense kRemovalPrevented{5, 0x53, 0x02};
constexpr Sense kRemovalPreventedNoMedium{2, 0x53, 0x02};
constexpr Sense kCommandSequenceError{5, 0x2C, 0x00};
}  // namespace sense

}  // namespace sim
