// The request blocks of the ASPI interface as the emulated manager reads and writes them: byte
// layouts only (packed to 1, pointers at the native width). They mirror the layouts the system
// hands to a manager; the platform tests check that both agree field by field.
//
// SRB_Status is the one field a caller may read while the manager still works on a request: the
// manager stores it last with release ordering, and a caller that polls it must read it with
// an acquire load (LoadSrbStatus, or std::atomic_ref<std::uint8_t> on the byte). Everything the
// manager wrote before the status is then visible.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

namespace sim::srb {

constexpr std::uint8_t kHaInquiry = 0x00;
constexpr std::uint8_t kGetDevType = 0x01;
constexpr std::uint8_t kExecScsiCmd = 0x02;
constexpr std::uint8_t kAbortSrb = 0x03;
constexpr std::uint8_t kResetDev = 0x04;
constexpr std::uint8_t kRescanScsiBus = 0x07;

constexpr std::uint8_t kPending = 0x00;
constexpr std::uint8_t kComp = 0x01;
constexpr std::uint8_t kAborted = 0x02;
constexpr std::uint8_t kAbortFail = 0x03;
constexpr std::uint8_t kErr = 0x04;
constexpr std::uint8_t kInvalidCmd = 0x80;
constexpr std::uint8_t kInvalidHa = 0x81;
constexpr std::uint8_t kNoDevice = 0x82;
constexpr std::uint8_t kInvalidSrb = 0xE0;
constexpr std::uint8_t kNoAspi = 0xE3;

constexpr std::uint8_t kDirIn = 0x08;
constexpr std::uint8_t kDirOut = 0x10;
constexpr std::uint8_t kEventNotify = 0x40;

constexpr std::uint8_t kHaStatOk = 0x00;
constexpr std::uint8_t kHaStatSelectionTimeout = 0x11;
constexpr std::uint8_t kTargStatGood = 0x00;
constexpr std::uint8_t kTargStatCheckCondition = 0x02;

constexpr std::size_t kSenseAreaBytes = 16;  // SENSE_LEN (14) + 2

#pragma pack(push, 1)

struct Header {
    std::uint8_t SRB_Cmd;
    std::uint8_t SRB_Status;
    std::uint8_t SRB_HaId;
    std::uint8_t SRB_Flags;
    std::uint32_t SRB_Hdr_Rsvd;
};

struct HAInquiry {
    std::uint8_t SRB_Cmd;
    std::uint8_t SRB_Status;
    std::uint8_t SRB_HaId;
    std::uint8_t SRB_Flags;
    std::uint32_t SRB_Hdr_Rsvd;
    std::uint8_t HA_Count;
    std::uint8_t HA_SCSI_ID;
    std::uint8_t HA_ManagerId[16];
    std::uint8_t HA_Identifier[16];
    std::uint8_t HA_Unique[16];
    std::uint16_t HA_Rsvd1;
};

struct GDEVBlock {
    std::uint8_t SRB_Cmd;
    std::uint8_t SRB_Status;
    std::uint8_t SRB_HaId;
    std::uint8_t SRB_Flags;
    std::uint32_t SRB_Hdr_Rsvd;
    std::uint8_t SRB_Target;
    std::uint8_t SRB_Lun;
    std::uint8_t SRB_DeviceType;
    std::uint8_t SRB_Rsvd1;
};

struct ExecSCSICmd {
    std::uint8_t SRB_Cmd;
    std::uint8_t SRB_Status;
    std::uint8_t SRB_HaId;
    std::uint8_t SRB_Flags;
    std::uint32_t SRB_Hdr_Rsvd;
    std::uint8_t SRB_Target;
    std::uint8_t SRB_Lun;
    std::uint16_t SRB_Rsvd1;
    std::uint32_t SRB_BufLen;
    std::uint8_t* SRB_BufPointer;
    std::uint8_t SRB_SenseLen;
    std::uint8_t SRB_CDBLen;
    std::uint8_t SRB_HaStat;
    std::uint8_t SRB_TargStat;
    void* SRB_PostProc;
    std::uint8_t SRB_Rsvd2[20];
    std::uint8_t CDBByte[16];
    std::uint8_t SenseArea[kSenseAreaBytes];
};

struct RescanPort {
    std::uint8_t SRB_Cmd;
    std::uint8_t SRB_Status;
    std::uint8_t SRB_HaId;
    std::uint8_t SRB_Flags;
    std::uint32_t SRB_Hdr_Rsvd;
};

// SC_ABORT_SRB: asks the manager to drop a request it has not started yet.
struct Abort {
    std::uint8_t SRB_Cmd;
    std::uint8_t SRB_Status;
    std::uint8_t SRB_HaId;
    std::uint8_t SRB_Flags;
    std::uint32_t SRB_Hdr_Rsvd;
    void* SRB_ToAbort;
};

#pragma pack(pop)

static_assert(sizeof(Header) == 8);
static_assert(sizeof(HAInquiry) == 60);
static_assert(sizeof(GDEVBlock) == 12);
static_assert(sizeof(RescanPort) == 8);
static_assert(offsetof(ExecSCSICmd, SRB_BufLen) == 12);
static_assert(offsetof(ExecSCSICmd, SRB_BufPointer) == 16);
static_assert(offsetof(ExecSCSICmd, SRB_PostProc) == 20 + sizeof(void*));
static_assert(offsetof(ExecSCSICmd, CDBByte) == 40 + 2 * sizeof(void*));
static_assert(sizeof(ExecSCSICmd) == 72 + 2 * sizeof(void*));
static_assert(sizeof(Abort) == 8 + sizeof(void*));

// SRB_Status sits at byte 1 of every request block.
constexpr std::size_t kStatusOffset = offsetof(Header, SRB_Status);

inline std::uint8_t LoadSrbStatus(const void* srb) {
    auto* byte = const_cast<std::uint8_t*>(static_cast<const std::uint8_t*>(srb) + kStatusOffset);
    return std::atomic_ref<std::uint8_t>(*byte).load(std::memory_order_acquire);
}

inline void StoreSrbStatus(void* srb, std::uint8_t status) {
    auto* byte = static_cast<std::uint8_t*>(srb) + kStatusOffset;
    std::atomic_ref<std::uint8_t>(*byte).store(status, std::memory_order_release);
}

}  // namespace sim::srb
