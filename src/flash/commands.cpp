// The commands the program sends to a drive, and the small operations built on them.
#include <cstring>

#include "device/atapi_device.h"
#include "platform/platform.h"

namespace quiver {

namespace {

using Block = std::uint8_t[12];

// The command templates; each builder copies one and stores its parameters into it.
constexpr std::uint8_t kGetEventStatus[12] = {0x4A};
constexpr std::uint8_t kInquiry[12] = {0x12};
constexpr std::uint8_t kStartStopUnit[12] = {0x1B};
constexpr std::uint8_t kTestUnitReady[12] = {0x00};
constexpr std::uint8_t kReadFlashId[12] = {0xDF, 0x11};
constexpr std::uint8_t kReadBuffer[12] = {0x3C, 0x01, 0x01};
constexpr std::uint8_t kWriteBuffer[12] = {0x3B, 0x05, 0x01};

constexpr std::uint32_t kFlashIdReplyBytes = 128;
constexpr int kPollMillis = 300;

void Put24(std::uint8_t* at, std::uint32_t value) {
    at[0] = static_cast<std::uint8_t>(value >> 16);
    at[1] = static_cast<std::uint8_t>(value >> 8);
    at[2] = static_cast<std::uint8_t>(value);
}

}  // namespace

bool AtapiDevice::GetEventStatus(std::uint8_t polled, std::uint8_t classRequest,
                                 std::uint32_t allocationLength, std::uint8_t control) {
    Block cdb;
    std::memcpy(cdb, kGetEventStatus, sizeof cdb);
    cdb[1] = polled & 1;
    cdb[4] = classRequest;
    cdb[7] = static_cast<std::uint8_t>(allocationLength >> 8);
    cdb[8] = static_cast<std::uint8_t>(allocationLength);
    cdb[9] = control;
    return ExecuteCommand(cdb, kDataIn, allocationLength);
}

bool AtapiDevice::Inquiry(std::uint8_t cmdDt, std::uint8_t evpd, std::uint8_t pageCode,
                          std::uint8_t allocationLength, std::uint8_t control) {
    Block cdb;
    std::memcpy(cdb, kInquiry, sizeof cdb);
    cdb[1] = static_cast<std::uint8_t>((cmdDt & 1) * 2 + (evpd & 1));
    cdb[2] = pageCode;
    cdb[4] = allocationLength;
    cdb[5] = control;
    return ExecuteCommand(cdb, kDataIn, allocationLength);
}

bool AtapiDevice::StartStopUnit(std::uint8_t immediate, std::uint8_t powerCondition,
                                std::uint8_t loadEject, std::uint8_t start) {
    Block cdb;
    std::memcpy(cdb, kStartStopUnit, sizeof cdb);
    cdb[1] = immediate & 1;
    cdb[4] =
        static_cast<std::uint8_t>((powerCondition & 0x0F) * 16 + (loadEject & 1) * 2 + (start & 1));
    return ExecuteCommand(cdb, kNoData, 0);
}

bool AtapiDevice::TestUnitReady() {
    Block cdb;
    std::memcpy(cdb, kTestUnitReady, sizeof cdb);
    return ExecuteCommand(cdb, kNoData, 0);
}

bool AtapiDevice::ReadFlashId() {
    Block cdb;
    std::memcpy(cdb, kReadFlashId, sizeof cdb);
    if (!ExecuteCommand(cdb, kDataIn, kFlashIdReplyBytes)) {
        return false;
    }
    // A drive without the command, or one that answers with zeros, has no identification.
    for (std::uint32_t i = 0; i < kFlashIdReplyBytes; ++i) {
        if (readBuffer_[i] != 0) {
            return true;
        }
    }
    return false;
}

bool AtapiDevice::ReadBuffer(std::uint32_t offset, std::uint32_t length) {
    Block cdb;
    std::memcpy(cdb, kReadBuffer, sizeof cdb);
    Put24(&cdb[3], offset);
    Put24(&cdb[6], length);
    // Bytes the drive did not return would be compared as whatever the buffer held before.
    return ExecuteCommand(cdb, kDataIn, length) && last_.transferred == length;
}

bool AtapiDevice::WriteBuffer(std::uint32_t offset, std::uint32_t length, std::uint8_t control) {
    Block cdb;
    std::memcpy(cdb, kWriteBuffer, sizeof cdb);
    Put24(&cdb[3], offset);
    Put24(&cdb[6], length);
    cdb[9] = control;
    // The programming commands carry no data, whatever length they name.
    if (control == 0x80 || control == 0xA0) {
        return ExecuteCommand(cdb, kNoData, 0);
    }
    // A drive that took fewer bytes than the command announced did not take the data.
    return ExecuteCommand(cdb, kDataOut, length) && last_.transferred == length;
}

bool AtapiDevice::SenseIs(std::uint8_t senseKey, std::uint8_t asc) const {
    return last_.senseKey == senseKey && last_.asc == asc;
}

bool AtapiDevice::SenseKeyIs(std::uint8_t senseKey) const {
    return last_.senseKey == senseKey;
}

bool AtapiDevice::WaitReady(int seconds) {
    bool timedOut = false;
    if (seconds > 0) {
        waitTimer_.Start(true);
    }
    // Without a performance counter the timer reads 0: count the pauses instead.
    double paused = 0.0;
    for (;;) {
        TestUnitReady();
        if (!(SenseIs(2, 0x04) || SenseKeyIs(6))) {
            break;
        }
        const double elapsed = !waitTimer_.unavailable() ? waitTimer_.Elapsed() : paused;
        if (seconds > 0 && elapsed >= static_cast<double>(seconds)) {
            timedOut = true;
            break;
        }
        Os().Sleep(kPollMillis);
        paused += kPollMillis / 1000.0;
    }
    TestUnitReady();
    if (seconds > 0) {
        waitTimer_.Stop();
    }
    return !timedOut;
}

bool AtapiDevice::NoMedium() {
    WaitReady(30);
    return SenseIs(2, 0x3A);
}

bool AtapiDevice::TrayOpen() {
    return GetEventStatus(1, 0x10, 8, 0) && (readBuffer_[5] & 0x01) != 0;
}

bool AtapiDevice::LoadTray() {
    return StartStopUnit(0, 0, 1, 1);
}

bool AtapiDevice::EjectTray() {
    return StartStopUnit(0, 0, 1, 0);
}

bool AtapiDevice::StopUnit() {
    return StartStopUnit(0, 0, 0, 0);
}

void AtapiDevice::ClearUnitAttention() {
    for (int i = 0; i < kMaxUnitAttentions; ++i) {
        if (TestUnitReady() || !SenseKeyIs(6)) {
            return;
        }
    }
}

}  // namespace quiver
