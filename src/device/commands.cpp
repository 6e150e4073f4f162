// The single commands: one member per command block, each sending its block through the
// transport, and the sense tests of the last command.
#include <cstring>

#include "device/atapi_device.h"
#include "device/command_blocks.h"

namespace quiver {

namespace {

constexpr std::uint32_t kFlashIdReplyBytes = 128;

}  // namespace

bool AtapiDevice::GetEventStatus(std::uint8_t polled, std::uint8_t classRequest,
                                 std::uint32_t allocationLength, std::uint8_t control) {
    return ExecuteCommand(
        blocks::GetEventStatus(polled, classRequest, allocationLength, control).data(), kDataIn,
        allocationLength);
}

bool AtapiDevice::Inquiry(std::uint8_t cmdDt, std::uint8_t evpd, std::uint8_t pageCode,
                          std::uint8_t allocationLength, std::uint8_t control) {
    return ExecuteCommand(blocks::Inquiry(cmdDt, evpd, pageCode, allocationLength, control).data(),
                          kDataIn, allocationLength);
}

bool AtapiDevice::StartStopUnit(std::uint8_t immediate, std::uint8_t powerCondition,
                                std::uint8_t loadEject, std::uint8_t start) {
    return ExecuteCommand(blocks::StartStopUnit(immediate, powerCondition, loadEject, start).data(),
                          kNoData, 0);
}

bool AtapiDevice::TestUnitReady() {
    return ExecuteCommand(blocks::TestUnitReady().data(), kNoData, 0);
}

bool AtapiDevice::ReadFlashId() {
    if (!ExecuteCommand(blocks::ReadFlashId().data(), kDataIn, kFlashIdReplyBytes)) {
        return false;
    }
    // A drive without the command, or one that answers with zeros, has no identification.
    const std::uint8_t* reply = readBuffer_.data();
    for (std::uint32_t i = 0; i < kFlashIdReplyBytes; ++i) {
        if (reply[i] != 0) {
            return true;
        }
    }
    return false;
}

bool AtapiDevice::ReadBuffer(std::uint32_t offset, std::uint32_t length) {
    // Bytes the drive did not return would be compared as whatever the buffer held before.
    return ExecuteCommand(blocks::ReadBuffer(offset, length).data(), kDataIn, length) &&
           last_.transferred == length;
}

bool AtapiDevice::WriteBuffer(std::uint32_t offset, std::uint32_t length, std::uint8_t control) {
    const blocks::CommandBlock cdb = blocks::WriteBuffer(offset, length, control);
    // The programming commands carry no data, whatever length they name.
    if (IsProgramControl(control)) {
        return ExecuteCommand(cdb.data(), kNoData, 0);
    }
    // A drive that took fewer bytes than the command announced did not take the data.
    return ExecuteCommand(cdb.data(), kDataOut, length) && last_.transferred == length;
}

bool AtapiDevice::WriteBufferFrom(std::uint32_t offset, const std::uint8_t* data,
                                  std::uint32_t length) {
    if (data == nullptr || length == 0 || length > writeBuffer_.capacity()) {
        return false;
    }
    if (!SendsSynchronously()) {
        // The manager may still hold a request after its wait ran out, and read from its
        // buffer at any time: it is only ever given the object's own.
        std::memcpy(writeBuffer_.data(), data, length);
        return WriteBuffer(offset, length, kWriteImageBlock);
    }
    const blocks::CommandBlock cdb = blocks::WriteBuffer(offset, length, kWriteImageBlock);
    // The system only reads the data of a data-out request.
    return Execute(cdb.data(), kDataOut, length, const_cast<std::uint8_t*>(data), length) &&
           last_.transferred == length;
}

bool AtapiDevice::SenseIs(std::uint8_t senseKey, std::uint8_t asc) const {
    return last_.senseKey == senseKey && last_.asc == asc;
}

bool AtapiDevice::SenseKeyIs(std::uint8_t senseKey) const {
    return last_.senseKey == senseKey;
}

}  // namespace quiver
