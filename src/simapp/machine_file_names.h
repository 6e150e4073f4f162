// The names a machine file gives to fault kinds, letter types, statuses of the ASPI manager and
// its entry points, shared by the reading and the writing of the file.
#pragma once

#include <cstddef>
#include <cstdint>
#include <utility>

#include "sim/machine.h"

namespace quiver::simapp::machine_file_names {

using FaultKind = sim::Fault::Kind;

inline constexpr std::pair<const char*, FaultKind> kFaultKinds[] = {
    {"transport-failure", FaultKind::TransportFailure},
    {"sense", FaultKind::SenseData},
    {"delay", FaultKind::Delay},
    {"vanish", FaultKind::Vanish},
    {"read-back-differs", FaultKind::ReadBackDiffers},
    {"short-transfer", FaultKind::ShortTransfer},
    {"replaced", FaultKind::Replaced},
};

inline constexpr std::pair<const char*, sim::LetterType> kLetterTypes[] = {
    {"cdrom", sim::LetterType::CdRom},
    {"fixed", sim::LetterType::Fixed},
    {"removable", sim::LetterType::Removable},
    {"network", sim::LetterType::Network},
};

inline constexpr std::pair<const char*, std::uint8_t> kAspiStatuses[] = {
    {"SS_PENDING", 0x00},     {"SS_COMP", 0x01},          {"SS_ABORTED", 0x02},
    {"SS_ABORT_FAIL", 0x03},  {"SS_ERR", 0x04},           {"SS_INVALID_CMD", 0x80},
    {"SS_INVALID_HA", 0x81},  {"SS_NO_DEVICE", 0x82},     {"SS_INVALID_SRB", 0xE0},
    {"SS_OLD_MANAGER", 0xE1}, {"SS_ILLEGAL_MODE", 0xE2},  {"SS_NO_ASPI", 0xE3},
    {"SS_FAILED_INIT", 0xE4}, {"SS_BUFFER_TO_BIG", 0xE6},
};

inline constexpr const char* kSupportInfoEntry = "GetASPI32SupportInfo";
inline constexpr const char* kSendCommandEntry = "SendASPI32Command";

template <typename T, std::size_t N>
const char* NameOf(const std::pair<const char*, T> (&table)[N], T value) {
    for (const auto& entry : table) {
        if (entry.second == value) {
            return entry.first;
        }
    }
    return nullptr;
}

}  // namespace quiver::simapp::machine_file_names
