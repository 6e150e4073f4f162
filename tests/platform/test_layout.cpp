#include <gtest/gtest.h>

#include "platform/winapi.h"

namespace quiver {
namespace {

// The request areas the system shares with the OS and the ASPI manager keep their byte layout.
TEST(Layout, PassThroughRequestAreaPlacesSenseAfterRequest) {
    SCSI_PASS_THROUGH_DIRECT_WITH_BUFFER area{};
    const auto* base = reinterpret_cast<const unsigned char*>(&area);
    const auto* sense = reinterpret_cast<const unsigned char*>(area.ucSenseBuf);
    EXPECT_EQ(sense - base,
              static_cast<long>(offsetof(SCSI_PASS_THROUGH_DIRECT_WITH_BUFFER, ucSenseBuf)));
    EXPECT_GE(sizeof(area), sizeof(SCSI_PASS_THROUGH_DIRECT) + 32);
}

TEST(Layout, ExecRequestSenseAreaIsItsLastSixteenBytes) {
    EXPECT_EQ(sizeof(SRB_ExecSCSICmd) - offsetof(SRB_ExecSCSICmd, SenseArea), 16u);
    EXPECT_EQ(offsetof(SRB_ExecSCSICmd, CDBByte) + 16, offsetof(SRB_ExecSCSICmd, SenseArea));
}

}  // namespace
}  // namespace quiver
