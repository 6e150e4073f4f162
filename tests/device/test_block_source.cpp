// Where the bytes of a block write come from: the caller's data on a route that is done with
// them when the command returns, the object's own write buffer on the ASPI route, whose manager
// may still hold a request after its wait.
#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <vector>

#include "drive_rig.h"

namespace quiver {
namespace {

using rig::DriveRig;

constexpr std::uint32_t kBlock = 16384;

std::vector<std::uint8_t> Pattern(std::uint32_t bytes) {
    std::vector<std::uint8_t> data(bytes);
    for (std::uint32_t i = 0; i < bytes; ++i) {
        data[i] = static_cast<std::uint8_t>(i * 7 + 3);
    }
    return data;
}

class BlockSourceTest : public DriveRig {
  protected:
    void Build(bool aspi) {
        if (aspi) {
            SetApplicationTag(kAspiPermittedTag);
        }
        AddOptical('E', rig::Kmr730t());
        if (aspi) {
            machine_.AddAspiDevice(1, 3, 0, 0);
            machine_.aspi().config().asynchronous = false;
        }
        device_ = std::make_unique<AtapiDevice>(true);
        ASSERT_EQ(device_->UsesAspi(), aspi);
        Prepare(*device_);
    }

    std::unique_ptr<AtapiDevice> device_;
};

TEST_F(BlockSourceTest, PassThroughSendsTheCallersBytesAndLeavesTheWriteBufferAlone) {
    Build(false);
    ASSERT_TRUE(device_->SendsSynchronously());
    const std::vector<std::uint8_t> data = Pattern(kBlock);
    std::fill_n(device_->WriteBufferData(), kBlock, 0x5A);

    ASSERT_TRUE(device_->WriteBufferFrom(0x4000, data.data(), kBlock));
    EXPECT_EQ(os_.LastRequest().DataBuffer, static_cast<const void*>(data.data()));
    EXPECT_EQ(drive().BufferBytes(0x4000, kBlock), data);
    EXPECT_EQ(device_->LastCommandRecord().transferred, kBlock);
    EXPECT_TRUE(std::all_of(device_->WriteBufferData(), device_->WriteBufferData() + kBlock,
                            [](std::uint8_t b) { return b == 0x5A; }));
    EXPECT_EQ(Cdbs().back(), "3B 05 01 00 40 00 00 40 00 00 00 00");
}

TEST_F(BlockSourceTest, AspiSendsACopyFromTheObjectsOwnBuffer) {
    Build(true);
    ASSERT_FALSE(device_->SendsSynchronously());
    const std::vector<std::uint8_t> data = Pattern(kBlock);

    ASSERT_TRUE(device_->WriteBufferFrom(0, data.data(), kBlock));
    EXPECT_EQ(drive().BufferBytes(0, kBlock), data);
    EXPECT_TRUE(std::equal(data.begin(), data.end(), device_->WriteBufferData()));
}

// Nothing is sent for data the object could not hold on every route, nor for no data at all:
// the block write is never a command without its bytes.
TEST_F(BlockSourceTest, WritesTheWriteBufferCouldNotHoldSendNothing) {
    Build(false);
    const std::vector<std::uint8_t> data = Pattern(kTransferBufferBytes + 2);
    EXPECT_FALSE(device_->WriteBufferFrom(0, data.data(), kTransferBufferBytes + 1));
    EXPECT_FALSE(device_->WriteBufferFrom(0, data.data(), 0));
    EXPECT_FALSE(device_->WriteBufferFrom(0, nullptr, kBlock));
    EXPECT_TRUE(drive().Log().empty());
}

// A drive that takes fewer bytes than the command names did not take the block.
TEST_F(BlockSourceTest, AShortDataPhaseIsAFailedWrite) {
    Build(false);
    sim::Fault shortWrite = rig::MakeFault(sim::Fault::Kind::ShortTransfer, 0x3B, 1, 1);
    shortWrite.bytes = kBlock / 2;
    drive().AddFault(shortWrite);
    const std::vector<std::uint8_t> data = Pattern(kBlock);
    EXPECT_FALSE(device_->WriteBufferFrom(0, data.data(), kBlock));
}

}  // namespace
}  // namespace quiver
