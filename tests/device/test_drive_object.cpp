#include <gtest/gtest.h>

#include <climits>
#include <cstring>
#include <functional>
#include <memory>
#include <new>
#include <ostream>
#include <string>

#include "drive_rig.h"

namespace quiver {
namespace {

using rig::DriveRig;

// --- Construction and the route ---------------------------------------------------------------

// A KMR-730T on E:, which the ASPI manager also holds at adapter 0, target 0.
class DriveObjectRouteTest : public DriveRig {
  protected:
    DriveObjectRouteTest() {
        AddOptical('E', rig::Kmr730t());
        machine_.AddAspiDevice(0, 0, 0, 0);
    }
};

// Made without a scan, an object knows no drive: nothing is opened or sent, and a command has
// nowhere to go until a drive is selected.
TEST_F(DriveObjectRouteTest, NewObjectWithoutScanTouchesNoDrive) {
    AtapiDevice device(false);
    EXPECT_EQ(device.RecordCount(), 0);
    EXPECT_EQ(device.SelectedIndex(), kNoSelection);
    EXPECT_FALSE(device.SelectDrive(0));
    EXPECT_FALSE(device.TestUnitReady());
    EXPECT_EQ(device.LastCommandRecord().outcome, kOutcomeFailed);
    EXPECT_TRUE(drive().Log().empty());
    EXPECT_EQ(os_.OpenHandleCount(), 0);
    EXPECT_EQ(os_.HeapBlockCount(), 2);  // its two transfer buffers
}

// The buffers come from the process heap; an object that cannot have both is not made, and
// what it had taken goes back.
TEST_F(DriveObjectRouteTest, WithoutItsBuffersTheObjectIsNotMade) {
    SetApplicationTag(kAspiPermittedTag);
    for (std::size_t room : {std::size_t{1}, std::size_t{kTransferBufferBytes},
                             std::size_t{2 * kTransferBufferBytes - 1}}) {
        machine_.os.heapBytes = room;
        EXPECT_THROW(AtapiDevice(true), std::bad_alloc) << room;
        EXPECT_EQ(os_.HeapBlockCount(), 0) << room;
    }
    machine_.os.heapBytes = 0;
    machine_.os.heapFails = true;
    EXPECT_THROW(AtapiDevice(false), std::bad_alloc);
    EXPECT_EQ(os_.TotalLibraryLoads(), 0);
    EXPECT_TRUE(drive().Log().empty());
}

TEST_F(DriveObjectRouteTest, NtWithPermittedTagAndUsableManagerTakesAspi) {
    SetApplicationTag(kAspiPermittedTag);
    {
        AtapiDevice device(false);
        EXPECT_TRUE(device.UsesAspi());
        EXPECT_TRUE(device.AspiUsable());
        EXPECT_TRUE(device.AspiLoaded());
        EXPECT_EQ(os_.LibraryLoadCount(), 1);
        EXPECT_EQ(os_.TotalLibraryLoads(), 2);  // the probe, then the load that stays
        EXPECT_TRUE(os_.MessageBoxes().empty());
    }
    EXPECT_EQ(os_.LibraryLoadCount(), 0);
}

TEST_F(DriveObjectRouteTest, NtWithAnotherTagTakesPassThroughEvenWithAManager) {
    for (std::int32_t tag : {0, 32766, 32768, -1}) {
        SetApplicationTag(tag);
        AtapiDevice device(true);
        EXPECT_FALSE(device.UsesAspi()) << tag;
        EXPECT_TRUE(device.AspiUsable()) << tag;
        EXPECT_FALSE(device.AspiLoaded()) << tag;
        EXPECT_EQ(os_.LibraryLoadCount(), 0) << tag;
        ASSERT_EQ(device.RecordCount(), 1);
        EXPECT_EQ(device.RecordAt(0)->found_through_aspi, 0);
        EXPECT_STREQ(device.RecordAt(0)->root_path, "E:\\");
    }
    EXPECT_EQ(machine_.aspi().RequestCount(SC_EXEC_SCSI_CMD), 0u);
    EXPECT_TRUE(os_.MessageBoxes().empty());
}

TEST_F(DriveObjectRouteTest, NtWithAnUnusableManagerTakesPassThroughSilently) {
    SetApplicationTag(kAspiPermittedTag);
    machine_.aspi().config().supportStatus = SS_NO_ASPI;
    AtapiDevice device(true);
    EXPECT_FALSE(device.UsesAspi());
    EXPECT_FALSE(device.AspiUsable());
    EXPECT_FALSE(device.AspiLoaded());
    EXPECT_TRUE(os_.MessageBoxes().empty());
    EXPECT_EQ(device.RecordCount(), 1);
}

TEST_F(DriveObjectRouteTest, Windows95LineTakesAspiWhateverTheTag) {
    machine_.os.ntFamily = false;
    for (std::int32_t tag : {0, kAspiPermittedTag, 12345}) {
        SetApplicationTag(tag);
        AtapiDevice first(true);
        AtapiDevice second(false);
        EXPECT_TRUE(first.UsesAspi()) << tag;
        EXPECT_TRUE(first.AspiLoaded()) << tag;
        EXPECT_TRUE(second.AspiLoaded()) << tag;
        EXPECT_EQ(os_.LibraryLoadCount(), 2) << tag;  // every object loads its own
        ASSERT_EQ(first.RecordCount(), 1);
        EXPECT_EQ(first.RecordAt(0)->found_through_aspi, 1);
    }
    EXPECT_EQ(os_.LibraryLoadCount(), 0);
    EXPECT_TRUE(os_.MessageBoxes().empty());
}

struct LoadFailure {
    const char* name;
    std::function<void(sim::AspiConfig&)> spoil;
    const char* text;
    const char* caption;
};

void PrintTo(const LoadFailure& failure, std::ostream* os) {
    *os << failure.name << " (\"" << failure.caption << "\")";
}

class DriveObjectLoadAspiTest : public DriveRig,
                                public ::testing::WithParamInterface<LoadFailure> {};

TEST_P(DriveObjectLoadAspiTest, ReportsTheFailureAndKeepsTheAspiRoute) {
    const LoadFailure& failure = GetParam();
    machine_.os.ntFamily = false;
    AddOptical('E', rig::Kmr730t());
    machine_.AddAspiDevice(0, 0, 0, 0);
    failure.spoil(machine_.aspi().config());
    {
        AtapiDevice device(true);
        EXPECT_TRUE(device.UsesAspi());
        EXPECT_FALSE(device.AspiLoaded());
        EXPECT_FALSE(device.AspiUsable());
        EXPECT_EQ(device.RecordCount(), 0);  // nothing to scan with
        EXPECT_EQ(os_.LibraryLoadCount(), 0);
        const auto boxes = os_.MessageBoxes();
        ASSERT_EQ(boxes.size(), 1u);
        EXPECT_EQ(boxes[0].text, failure.text);
        EXPECT_EQ(boxes[0].caption, failure.caption);
        EXPECT_EQ(boxes[0].type, MB_ICONERROR | MB_OK);

        // Asked again, it says so again.
        EXPECT_FALSE(device.LoadAspi());
        EXPECT_EQ(os_.MessageBoxes().size(), 2u);
        EXPECT_FALSE(device.ProbeAspi());
        EXPECT_EQ(os_.MessageBoxes().size(), 2u);  // the probe is silent
    }
    EXPECT_TRUE(drive().Log().empty());
}

INSTANTIATE_TEST_SUITE_P(
    Failures, DriveObjectLoadAspiTest,
    ::testing::Values(
        LoadFailure{"MissingLibrary", [](sim::AspiConfig& c) { c.installed = false; },
                    "LoadLibrary:\nWNASPI32.DLL not found.", "Error FS 002"},
        LoadFailure{"NoSupportInfoEntry", [](sim::AspiConfig& c) { c.hasSupportInfoEntry = false; },
                    "GetProcAddress:\nGetASPI32SupportInfo not fount.", "Error FS 003"},
        LoadFailure{"NoSendCommandEntry", [](sim::AspiConfig& c) { c.hasSendCommandEntry = false; },
                    "GetProcAddress:\npfnSendASPI32Command not found.", "Error FS 004"},
        LoadFailure{"NoAspi", [](sim::AspiConfig& c) { c.supportStatus = SS_NO_ASPI; },
                    "Could not find the ASPI manager.", "GetASPISupportInfo:"},
        LoadFailure{"IllegalMode", [](sim::AspiConfig& c) { c.supportStatus = SS_ILLEGAL_MODE; },
                    "ASPI for Windows does not support real mode.", "GetASPISupportInfo:"},
        LoadFailure{"OldManager", [](sim::AspiConfig& c) { c.supportStatus = SS_OLD_MANAGER; },
                    "Old ASPI manager.", "GetASPISupportInfo:"},
        LoadFailure{"OtherStatus", [](sim::AspiConfig& c) { c.supportStatus = 0x05; },
                    "Error initializing ASPI.", "GetASPISupportInfo:"}),
    [](const ::testing::TestParamInfo<LoadFailure>& info) { return info.param.name; });

// --- The table and the selection ----------------------------------------------------------------

// Two KMR-730Ts on E: (target 0) and F: (target 1), scanned on the pass-through route.
class DriveObjectSelectionTest : public DriveRig {
  protected:
    DriveObjectSelectionTest() {
        AddOptical('E', rig::Kmr730t(), 0, 0);
        sim::DriveConfig second = rig::Kmr730t();
        second.revision = "QM00";
        second.vendorSpecific = "2003/11/02 KV00";
        AddOptical('F', second, 0, 1);
        device_ = std::make_unique<AtapiDevice>(true);
    }

    sim::Letter& letter(char l) {
        for (sim::Letter& entry : machine_.letters) {
            if (entry.letter == l) {
                return entry;
            }
        }
        throw std::logic_error("no such letter");
    }

    std::unique_ptr<AtapiDevice> device_;
};

TEST_F(DriveObjectSelectionTest, RecordAtAnswersOnlyForRecordsInUse) {
    ASSERT_EQ(device_->RecordCount(), 2);
    const int opensBefore = os_.createFileCalls;
    EXPECT_NE(device_->RecordAt(0), nullptr);
    EXPECT_NE(device_->RecordAt(1), nullptr);
    for (int index : {-1, INT_MIN, 2, 15, 16, 65536 + 1}) {
        EXPECT_EQ(device_->RecordAt(index), nullptr) << index;
        EXPECT_FALSE(device_->SelectDrive(index)) << index;
    }
    EXPECT_EQ(device_->SelectedIndex(), kNoSelection);
    EXPECT_EQ(os_.createFileCalls, opensBefore);
    EXPECT_FALSE(device_->HasOpenHandle());

    device_->Records()[1].in_use = 0;
    EXPECT_EQ(device_->RecordAt(1), nullptr);
    const int opens = os_.createFileCalls;
    EXPECT_FALSE(device_->SelectDrive(1));
    EXPECT_EQ(os_.createFileCalls, opens);
    EXPECT_EQ(device_->SelectedIndex(), kNoSelection);
}

TEST_F(DriveObjectSelectionTest, SelectOpensTheDriveOnceAndTakesItsRecord) {
    const int opens = os_.createFileCalls;
    ASSERT_TRUE(device_->SelectDrive(1));
    EXPECT_EQ(device_->SelectedIndex(), 1);
    EXPECT_TRUE(device_->HasOpenHandle());
    EXPECT_EQ(os_.OpenHandleCount(), 1);
    EXPECT_EQ(os_.createFileCalls, opens + 1);
    const DriveRecord& record = *device_->RecordAt(1);
    EXPECT_EQ(device_->CurrentAdapter(), record.adapter);
    EXPECT_EQ(device_->CurrentTarget(), 1);
    EXPECT_EQ(device_->CurrentLun(), 0);
    EXPECT_EQ(device_->CurrentPathId(), 0);
    EXPECT_STREQ(device_->CurrentVendor(), "Korvane ");
    EXPECT_STREQ(device_->CurrentProduct(), "DVDRW KMR-730T  ");
    EXPECT_STREQ(device_->CurrentRevision(), "QM00");
    EXPECT_STREQ(device_->CurrentVendorSpecific(), "2003/11/02 KV00 ");

    // The same index again: nothing is reopened.
    EXPECT_TRUE(device_->SelectDrive(1));
    EXPECT_EQ(os_.createFileCalls, opens + 1);
    EXPECT_EQ(os_.OpenHandleCount(), 1);

    // Another index: the first drive is closed.
    ASSERT_TRUE(device_->SelectDrive(0));
    EXPECT_EQ(os_.createFileCalls, opens + 2);
    EXPECT_EQ(os_.OpenHandleCount(), 1);
    EXPECT_STREQ(device_->CurrentRevision(), "QM01");
    EXPECT_TRUE(device_->TestUnitReady());
    EXPECT_FALSE(drive(0).Log().empty());

    device_->ReleaseDrive();
    EXPECT_EQ(device_->SelectedIndex(), kNoSelection);
    EXPECT_FALSE(device_->HasOpenHandle());
    EXPECT_EQ(os_.OpenHandleCount(), 0);
    EXPECT_EQ(device_->CurrentAdapter(), -1);
    EXPECT_EQ(device_->CurrentTarget(), -1);
    device_->ReleaseDrive();  // twice is harmless
    EXPECT_EQ(os_.OpenHandleCount(), 0);

    // After a release the same index opens again.
    ASSERT_TRUE(device_->SelectDrive(0));
    EXPECT_EQ(os_.createFileCalls, opens + 3);
    device_.reset();
    EXPECT_EQ(os_.OpenHandleCount(), 0);  // destruction closes the drive
}

TEST_F(DriveObjectSelectionTest, DriveThatCannotBeOpenedLeavesAFailedSelection) {
    ASSERT_TRUE(device_->SelectDrive(1));
    letter('E').openFails = true;
    EXPECT_FALSE(device_->SelectDrive(0));
    EXPECT_EQ(device_->SelectedIndex(), kSelectionFailed);
    EXPECT_FALSE(device_->HasOpenHandle());
    EXPECT_EQ(os_.OpenHandleCount(), 0);  // drive F was let go
    EXPECT_EQ(device_->CurrentAdapter(), -1);
    EXPECT_EQ(device_->CurrentTarget(), -1);
    EXPECT_EQ(device_->CurrentLun(), -1);
    EXPECT_EQ(device_->CurrentPathId(), -1);
    EXPECT_FALSE(device_->SelectDrive(-1));  // a failed selection is no selection

    // Commands then fail in the transport, or are refused under the mark.
    EXPECT_FALSE(device_->TestUnitReady());
    EXPECT_EQ(device_->LastCommandRecord().outcome, kOutcomeFailed);
    device_->SetTransferMark();
    EXPECT_FALSE(device_->TestUnitReady());
    device_->ClearTransferMark();

    letter('E').openFails = false;
    EXPECT_TRUE(device_->SelectDrive(0));
    EXPECT_EQ(device_->SelectedIndex(), 0);
    EXPECT_TRUE(device_->HasOpenHandle());
}

TEST_F(DriveObjectSelectionTest, CopyFromTakesTheTableButNotTheSelection) {
    ASSERT_TRUE(device_->SelectDrive(1));
    device_->SetTimeLimit(99);
    device_->SetTransferMark();

    AtapiDevice target(false);
    target.SetFlashResult(kFlashFailed);
    target.CopyFrom(*device_);
    EXPECT_EQ(target.RecordCount(), 2);
    EXPECT_EQ(std::memcmp(target.Records(), device_->Records(), sizeof(DriveRecord) * kMaxDrives),
              0);
    EXPECT_EQ(target.SelectedIndex(), kNoSelection);
    EXPECT_FALSE(target.HasOpenHandle());
    EXPECT_EQ(target.TimeLimit(), 99u);
    EXPECT_TRUE(target.TransferMark());
    EXPECT_EQ(target.UsesAspi(), device_->UsesAspi());
    EXPECT_EQ(target.FlashResult(), kFlashFailed);  // its own
    EXPECT_STREQ(target.CurrentRevision(), "QM00");

    ASSERT_TRUE(target.SelectDrive(1));  // not the source's handle: one of its own
    EXPECT_EQ(os_.OpenHandleCount(), 2);
    target.ClearTransferMark();
    EXPECT_TRUE(target.TestUnitReady());

    // Copying over a selection of its own lets that drive go.
    target.CopyFrom(*device_);
    EXPECT_EQ(os_.OpenHandleCount(), 1);
    EXPECT_EQ(target.SelectedIndex(), kNoSelection);
}

}  // namespace
}  // namespace quiver
