#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "drive_rig.h"

namespace quiver {
namespace {

using rig::DriveRig;
using rig::MakeFault;
using Kind = sim::Fault::Kind;

class DiscoveryTest : public DriveRig {
  protected:
    // The roots of the records in table order, "-" for an empty root path.
    static std::vector<std::string> Roots(const AtapiDevice& device) {
        std::vector<std::string> out;
        for (int i = 0; i < device.RecordCount(); ++i) {
            const DriveRecord* r = device.RecordAt(i);
            out.push_back(r == nullptr ? "?" : r->root_path[0] == '\0' ? "-" : r->root_path);
        }
        return out;
    }
};

TEST_F(DiscoveryTest, NoOpticalDriveLeavesTheTableEmpty) {
    machine_.AddLetter('A', sim::LetterType::Removable);
    machine_.AddLetter('Z', sim::LetterType::Network);
    AtapiDevice device(true);
    EXPECT_EQ(device.RecordCount(), 0);
    for (int i = 0; i < kMaxDrives; ++i) {
        EXPECT_EQ(device.RecordAt(i), nullptr);
        EXPECT_EQ(device.Records()[i].in_use, 0);
    }
    EXPECT_EQ(os_.OpenHandleCount(), 0);
    EXPECT_EQ(os_.HeapBlockCount(), 2);  // the object's buffers: the scan gave its block back
}

TEST_F(DiscoveryTest, ScanSendsEachDriveTheIdentityCommandsAndLetsItGo) {
    AddOptical('E', rig::Kmr730t());
    AtapiDevice device(true);
    ASSERT_EQ(device.RecordCount(), 1);
    // The power-on unit attention, the poll that clears it, the inquiry, the unit serial
    // number page, the flash id.
    EXPECT_EQ(Cdbs(), (std::vector<std::string>{
                          "00 00 00 00 00 00 00 00 00 00 00 00",
                          "00 00 00 00 00 00 00 00 00 00 00 00",
                          "12 00 00 00 60 00 00 00 00 00 00 00",
                          "12 01 80 00 60 00 00 00 00 00 00 00",
                          "DF 11 00 00 00 00 00 00 00 00 00 00",
                      }));
    const auto log = drive().Log();
    EXPECT_EQ(log[2].dir, sim::DataDir::In);
    EXPECT_EQ(log[2].length, 96u);
    EXPECT_EQ(log[3].length, 96u);
    EXPECT_EQ(log[4].dir, sim::DataDir::In);
    EXPECT_EQ(log[4].length, 128u);

    EXPECT_EQ(device.SelectedIndex(), kNoSelection);
    EXPECT_FALSE(device.HasOpenHandle());
    EXPECT_EQ(os_.OpenHandleCount(), 0);
    EXPECT_EQ(os_.HeapBlockCount(), 2);  // the object's buffers: the scan gave its block back

    const DriveRecord& r = *device.RecordAt(0);
    EXPECT_EQ(std::string(r.identity, 24), "Korvane DVDRW KMR-730T  ");
    for (int i = 24; i < 32; ++i) {
        EXPECT_EQ(r.identity[i], 0) << i;
    }
    EXPECT_STREQ(r.vendor, "Korvane ");
    EXPECT_STREQ(r.product, "DVDRW KMR-730T  ");
    EXPECT_STREQ(r.revision, "QM01");
    EXPECT_STREQ(r.vendor_specific, "2004/01/09 KV01 ");
    EXPECT_STREQ(r.root_path, "E:\\");
    EXPECT_EQ(r.in_use, 1);
    EXPECT_EQ(r.found_through_aspi, 0);
    EXPECT_EQ(r.address_reported, 1);
    EXPECT_EQ(std::string(r.serial_number, r.serial_length), "KV730T000001");
}

// A drive without a unit serial number page answers the request with ILLEGAL REQUEST: it has
// none, and one request says so.
TEST_F(DiscoveryTest, DriveWithoutASerialNumberPageHasNone) {
    sim::DriveConfig config = rig::Kmr730t();
    config.serialNumber = "";
    AddOptical('E', config);
    AtapiDevice device(true);
    ASSERT_EQ(device.RecordCount(), 1);
    EXPECT_EQ(device.RecordAt(0)->serial_length, 0);
    EXPECT_EQ(CountSent(0x12), 2u);
}

// A serial number page that comes back without even its header is asked for again: taken as
// "no serial number", a drive that replaced this one and reports none would be confirmed as it.
TEST_F(DiscoveryTest, SerialNumberPageCutShortIsAskedAgain) {
    AddOptical('E', rig::Kmr730t());
    AddOptical('F', rig::Kmr730t(), 0, 1);
    sim::Fault cut = MakeFault(Kind::ShortTransfer, 0x12, 2, 1);
    cut.bytes = 3;
    drive(0).AddFault(cut);
    cut.count = 0;  // every serial number request of the second drive
    drive(1).AddFault(cut);
    AtapiDevice device(true);
    ASSERT_EQ(device.RecordCount(), 2);
    const DriveRecord& asked_again = *device.RecordAt(0);
    EXPECT_EQ(std::string(asked_again.serial_number, asked_again.serial_length), "KV730T000001");

    // Never read: no drive, not even this one, is later confirmed as the admitted one.
    const DriveRecord unread = *device.RecordAt(1);
    EXPECT_EQ(unread.serial_length, kSerialNumberUnread);
    drive(1).ClearFaults();
    ASSERT_TRUE(device.SelectDrive(1));
    EXPECT_FALSE(device.ConfirmIdentity(unread));
}

TEST_F(DiscoveryTest, RecordsAreSortedByAddressKey) {
    AddOptical('E', rig::Kmr730t(), /*port=*/1, /*target=*/0);          // key 4096
    AddOptical('F', rig::OtherDrive("OTHERCO ", "DVD-ROM X1"), 0, 1);   // key 16
    AddOptical('G', rig::OtherDrive("THIRDCO ", "CDRW 52X"), 0, 0, 1);  // path 1: key 256
    AddOptical('H', rig::OtherDrive("FOURTHCO", "COMBO"), 0, 0, 0, 3);  // key 3
    AtapiDevice device(true);
    ASSERT_EQ(device.RecordCount(), 4);
    EXPECT_EQ(Roots(device), (std::vector<std::string>{"H:\\", "F:\\", "G:\\", "E:\\"}));
    EXPECT_EQ(device.RecordAt(0)->lun, 3);
    EXPECT_EQ(device.RecordAt(1)->target_id, 1);
    EXPECT_EQ(device.RecordAt(2)->path_id, 1);
    EXPECT_EQ(device.RecordAt(3)->adapter, 1);
    EXPECT_STREQ(device.RecordAt(1)->vendor, "OTHERCO ");
    EXPECT_STREQ(device.RecordAt(3)->vendor, "Korvane ");
    for (int i = 4; i < kMaxDrives; ++i) {
        EXPECT_EQ(device.Records()[i].in_use, 0);
    }
}

TEST_F(DiscoveryTest, DrivesWithoutAddressGetMadeUpAdaptersInLetterOrder) {
    const int h = AddOptical('H', rig::Kmr730t());
    const int e = AddOptical('E', rig::Kmr730t(), 1, 0);
    const int g = AddOptical('G', rig::Kmr730t());
    machine_.letters[1].addressReply = sim::AddressReply::Fails;  // H
    machine_.letters[3].addressReply = sim::AddressReply::Fails;  // G
    AtapiDevice device(true);
    ASSERT_EQ(device.RecordCount(), 3);
    EXPECT_EQ(Roots(device), (std::vector<std::string>{"E:\\", "G:\\", "H:\\"}));
    const DriveRecord& gr = *device.RecordAt(1);
    const DriveRecord& hr = *device.RecordAt(2);
    EXPECT_EQ(gr.adapter, 2);
    EXPECT_EQ(hr.adapter, 3);
    EXPECT_EQ(gr.target_id, 0);
    EXPECT_EQ(gr.lun, 0);
    EXPECT_EQ(gr.path_id, 0);
    EXPECT_EQ(gr.address_reported, 0);
    // They are reached through their letters all the same.
    EXPECT_STREQ(hr.revision, "QM01");
    EXPECT_EQ(CountSent(0x12, g), 2u);
    EXPECT_EQ(CountSent(0x12, h), 2u);
    EXPECT_EQ(CountSent(0x12, e), 2u);
}

// Records with one reported address are one drive, reached through several letters: the first
// letter stays. Drives that look alike are not merged, nor are made-up addresses.
TEST_F(DiscoveryTest, OneRecordPerReportedAddress) {
    const int one = AddOptical('E', rig::Kmr730t(), 2, 0);
    machine_.AddLetter('G', sim::LetterType::CdRom, one).port = 2;  // E's drive again
    const int twin = AddOptical('F', rig::Kmr730t(), 2, 1);         // same identity
    const int unaddressed = AddOptical('H', rig::Kmr730t(), 0, 0);  // made up: 2-0-0-0
    machine_.letters.back().addressReply = sim::AddressReply::Fails;
    AtapiDevice device(true);
    ASSERT_EQ(device.RecordCount(), 3);
    EXPECT_EQ(Roots(device), (std::vector<std::string>{"E:\\", "H:\\", "F:\\"}));
    EXPECT_EQ(device.RecordAt(1)->adapter, 2);  // same key as E, but no reported address
    EXPECT_EQ(CountSent(0x12, one), 2u);        // read once, through E
    EXPECT_EQ(CountSent(0x12, twin), 2u);
    EXPECT_EQ(CountSent(0x12, unaddressed), 2u);
    EXPECT_TRUE(SameDrive(device.Records()[0], device.Records()[0]));
    EXPECT_FALSE(SameDrive(device.Records()[0], device.Records()[1]));
    EXPECT_FALSE(SameDrive(device.Records()[0], device.Records()[2]));
}

// The check at the start of an update: the drive answers as the record says, or it is not the
// admitted drive.
TEST_F(DiscoveryTest, ConfirmIdentityComparesVendorProductRevisionAndSerialNumber) {
    AddOptical('E', rig::Kmr730t());
    AtapiDevice device(true);
    ASSERT_EQ(device.RecordCount(), 1);
    const DriveRecord scanned = *device.RecordAt(0);
    ASSERT_TRUE(device.SelectDrive(0));
    EXPECT_TRUE(device.ConfirmIdentity(scanned));
    EXPECT_EQ(CountSent(0x12), 4u);

    const auto differing = [&](auto change) {
        DriveRecord r = scanned;
        change(r);
        return device.ConfirmIdentity(r);
    };
    EXPECT_FALSE(differing([](DriveRecord& r) { std::memcpy(r.vendor, "Korvane\0", 9); }));
    EXPECT_FALSE(differing([](DriveRecord& r) { r.product[15] = 'X'; }));
    EXPECT_FALSE(differing([](DriveRecord& r) { std::memcpy(r.revision, "QM10", 5); }));
    EXPECT_FALSE(differing([](DriveRecord& r) { r.serial_number[11] = '2'; }));
    EXPECT_FALSE(differing([](DriveRecord& r) { r.serial_length = 0; }));
    EXPECT_TRUE(differing([](DriveRecord& r) { r.vendor_specific[0] = '?'; }));  // not compared

    // A drive that gives no answer is not the admitted one.
    drive().AddFault(MakeFault(Kind::TransportFailure, 0x12, 1, 0));
    EXPECT_FALSE(device.ConfirmIdentity(scanned));
    drive().ClearFaults();
    drive().AddFault(MakeFault(Kind::SenseData, 0x12, 2, 0, sim::Sense{2, 0x04, 0x01}));
    EXPECT_FALSE(device.ConfirmIdentity(scanned));  // the identity, then no serial number
}

TEST_F(DiscoveryTest, LettersThatDoNotOpenOrAnswerWithoutLengthAreNotListed) {
    AddOptical('E', rig::Kmr730t());
    const int f = AddOptical('F', rig::Kmr730t(), 0, 1);
    const int g = AddOptical('G', rig::Kmr730t(), 0, 2);
    machine_.letters[2].addressReply = sim::AddressReply::ZeroLength;  // F
    machine_.letters[3].openFails = true;                              // G
    AtapiDevice device(true);
    EXPECT_EQ(device.RecordCount(), 1);
    EXPECT_EQ(Roots(device), (std::vector<std::string>{"E:\\"}));
    EXPECT_EQ(device.RecordAt(1), nullptr);
    EXPECT_TRUE(drive(f).Log().empty());
    EXPECT_TRUE(drive(g).Log().empty());
}

TEST_F(DiscoveryTest, IdentityTakesUpToTenInquiries) {
    AddOptical('E', rig::Kmr730t());
    AddOptical('F', rig::Kmr730t(), 0, 1);
    drive(0).AddFault(MakeFault(Kind::SenseData, 0x12, 1, 9, sim::Sense{2, 0x04, 0x01}));
    drive(1).AddFault(MakeFault(Kind::SenseData, 0x12, 1, 10, sim::Sense{2, 0x04, 0x01}));
    AtapiDevice device(true);
    ASSERT_EQ(device.RecordCount(), 2);

    EXPECT_EQ(CountSent(0x12, 0), 11u);  // the tenth is answered, then the serial number
    EXPECT_STREQ(device.RecordAt(0)->revision, "QM01");
    EXPECT_EQ(std::string(device.RecordAt(0)->identity, 8), "Korvane ");

    // Ten failures: listed, with empty texts, and no eleventh attempt.
    EXPECT_EQ(CountSent(0x12, 1), 10u);
    const DriveRecord& blank = *device.RecordAt(1);
    EXPECT_EQ(blank.in_use, 1);
    EXPECT_STREQ(blank.identity, "");
    EXPECT_STREQ(blank.vendor, "");
    EXPECT_STREQ(blank.revision, "");
    EXPECT_STREQ(blank.vendor_specific, "");
    EXPECT_EQ(blank.serial_length, 0);
    EXPECT_EQ(CountSent(0xDF, 1), 1u);
}

// The scan reads every drive into one buffer: a reply cut short must not take the rest of its
// identity from the drive before it.
TEST_F(DiscoveryTest, IdentityReplyCutShortIsNoIdentity) {
    AddOptical('E', rig::Kmr730t());
    sim::DriveConfig other = rig::Kmr730t();
    other.vendor = "ORBITECH";
    other.revision = "1A02";
    AddOptical('F', other, 0, 1);
    sim::Fault cut = MakeFault(Kind::ShortTransfer, 0x12, 1, 0);
    cut.bytes = 35;  // one byte short of the whole revision
    drive(1).AddFault(cut);
    AtapiDevice device(true);
    ASSERT_EQ(device.RecordCount(), 2);
    EXPECT_EQ(CountSent(0x12, 1), 10u);
    EXPECT_STREQ(device.RecordAt(1)->vendor, "");
    EXPECT_STREQ(device.RecordAt(1)->revision, "");

    // After an update the revision stays as it was rather than being made up.
    cut.bytes = 40;
    drive(0).AddFault(cut);
    ASSERT_TRUE(device.SelectDrive(0));
    ASSERT_TRUE(device.RefreshIdentity());
    EXPECT_STREQ(device.RecordAt(0)->revision, "QM01");
    EXPECT_EQ(std::string(device.RecordAt(0)->vendor_specific), "2004");
    drive(0).ClearFaults();
    cut.bytes = 35;
    drive(0).AddFault(cut);
    EXPECT_FALSE(device.RefreshIdentity());
    EXPECT_STREQ(device.RecordAt(0)->revision, "QM01");
}

TEST_F(DiscoveryTest, AllZeroVendorAndProductIsNoIdentity) {
    sim::DriveConfig anonymous = rig::Kmr730t();
    anonymous.vendor = std::string(8, '\0');
    anonymous.product = std::string(16, '\0');
    AddOptical('E', anonymous);
    AtapiDevice device(true);
    ASSERT_EQ(device.RecordCount(), 1);
    EXPECT_EQ(CountSent(0x12), 10u);
    EXPECT_STREQ(device.RecordAt(0)->revision, "");

    ASSERT_TRUE(device.SelectDrive(0));
    EXPECT_FALSE(device.ReadIdentity());
    EXPECT_STREQ(device.CurrentRevision(), "QM01");  // copied all the same
    EXPECT_FALSE(device.RefreshIdentity());
    EXPECT_STREQ(device.RecordAt(0)->revision, "");
}

TEST_F(DiscoveryTest, RefreshIdentityNeedsASelection) {
    AddOptical('E', rig::Kmr730t());
    AtapiDevice device(true);
    ASSERT_EQ(device.RecordCount(), 1);
    DriveRecord& record = device.Records()[0];
    std::memcpy(record.revision, "OLD!", 5);
    drive().ClearLog();
    EXPECT_FALSE(device.RefreshIdentity());
    EXPECT_STREQ(record.revision, "OLD!");
    EXPECT_TRUE(drive().Log().empty());

    ASSERT_TRUE(device.SelectDrive(0));
    EXPECT_TRUE(device.RefreshIdentity());
    EXPECT_STREQ(record.revision, "QM01");
    EXPECT_EQ(std::string(record.identity, 24), "Korvane DVDRW KMR-730T  ");
}

TEST_F(DiscoveryTest, SeventeenOpticalLettersKeepTheFirstSixteen) {
    for (char letter = 'D'; letter <= 'T'; ++letter) {
        AddOptical(letter, rig::Kmr730t(), 0, static_cast<std::uint8_t>(letter - 'D'));
    }
    AtapiDevice device(true);
    ASSERT_EQ(device.RecordCount(), kMaxDrives);
    std::vector<std::string> expected;
    for (char letter = 'D'; letter < 'T'; ++letter) {
        expected.push_back(std::string(1, letter) + ":\\");
    }
    EXPECT_EQ(Roots(device), expected);
    EXPECT_TRUE(drive(16).Log().empty());
    EXPECT_EQ(CountSent(0x12, 15), 2u);
}

// --- Through the ASPI manager -------------------------------------------------------------------

TEST_F(DiscoveryTest, AspiFoundDrivesHaveNoRootAndComeInAddressOrder) {
    SetApplicationTag(kAspiPermittedTag);
    const int e = AddOptical('E', rig::Kmr730t());
    const int f = AddOptical('F', rig::OtherDrive("OTHERCO ", "DVD-ROM X1"));
    machine_.AddAspiDevice(1, 0, 0, e);
    machine_.AddAspiDevice(0, 1, 0, f);
    machine_.AddAspiDevice(0, 2, 0, -1, /*deviceType=*/0);  // a disk: not listed
    AtapiDevice device(true);
    ASSERT_TRUE(device.UsesAspi());
    ASSERT_EQ(device.RecordCount(), 2);
    EXPECT_EQ(Roots(device), (std::vector<std::string>{"-", "-"}));
    const DriveRecord& first = *device.RecordAt(0);
    const DriveRecord& second = *device.RecordAt(1);
    EXPECT_EQ(first.adapter, 0);
    EXPECT_EQ(first.target_id, 1);
    EXPECT_EQ(second.adapter, 1);
    EXPECT_EQ(second.target_id, 0);
    EXPECT_EQ(first.path_id, 0);
    EXPECT_EQ(first.found_through_aspi, 1);
    EXPECT_EQ(second.found_through_aspi, 1);
    EXPECT_STREQ(first.vendor, "OTHERCO ");
    EXPECT_STREQ(second.revision, "QM01");
    EXPECT_EQ(machine_.aspi().RequestCount(SC_RESCAN_SCSI_BUS), 2u);
    EXPECT_EQ(device.SelectedIndex(), kNoSelection);
    EXPECT_EQ(os_.OpenHandleCount(), 0);
    EXPECT_TRUE(device.AspiLoaded());
}

// A manager that reports more optical devices than the table holds: the first sixteen in its
// order are kept, and the seventeenth ends the scan: it is not recorded, and no address after it
// is asked about.
TEST_F(DiscoveryTest, SeventeenAspiDevicesKeepTheFirstSixteen) {
    machine_.os.ntFamily = false;
    for (int i = 0; i <= kMaxDrives; ++i) {
        machine_.AddDrive(rig::Kmr730t());
        machine_.AddAspiDevice(0, static_cast<std::uint8_t>(i / 2),
                               static_cast<std::uint8_t>(i % 2), i);
    }
    AtapiDevice device(true);
    ASSERT_TRUE(device.UsesAspi());
    ASSERT_EQ(device.RecordCount(), kMaxDrives);
    EXPECT_EQ(device.RecordAt(kMaxDrives - 1)->target_id, 7);
    EXPECT_EQ(device.RecordAt(kMaxDrives - 1)->lun, 1);
    // Targets 0 to 7 with their 8 LUNs each, then target 8 LUN 0, the seventeenth device.
    EXPECT_EQ(machine_.aspi().RequestCount(SC_GET_DEV_TYPE), 8u * 8u + 1u);
    EXPECT_TRUE(drive(kMaxDrives).Log().empty());
}

TEST_F(DiscoveryTest, NtFallsBackToPassThroughWhenTheManagerMissesADrive) {
    SetApplicationTag(kAspiPermittedTag);
    AddOptical('E', rig::Kmr730t(), 0, 0);
    AddOptical('F', rig::Kmr730t(), 0, 1);
    machine_.AddAspiDevice(0, 0, 0, 0);  // the manager does not reach F:
    AtapiDevice device(true);
    EXPECT_FALSE(device.UsesAspi());
    EXPECT_FALSE(device.AspiLoaded());
    EXPECT_EQ(os_.LibraryLoadCount(), 0);
    ASSERT_EQ(device.RecordCount(), 2);
    EXPECT_EQ(Roots(device), (std::vector<std::string>{"E:\\", "F:\\"}));
    for (int i = 0; i < 2; ++i) {
        EXPECT_EQ(device.RecordAt(i)->found_through_aspi, 0) << i;
        EXPECT_STREQ(device.RecordAt(i)->revision, "QM01") << i;
    }
    EXPECT_EQ(os_.HeapBlockCount(), 2);  // the object's buffers: the scan gave its block back
}

TEST_F(DiscoveryTest, NoFallbackWithoutPassThroughOrWithoutALetterCount) {
    AddOptical('E', rig::Kmr730t(), 0, 0);
    AddOptical('F', rig::Kmr730t(), 0, 1);
    machine_.AddAspiDevice(0, 0, 0, 0);
    {
        machine_.os.ntFamily = false;
        AtapiDevice device(true);
        EXPECT_TRUE(device.UsesAspi());
        EXPECT_EQ(device.RecordCount(), 1);
        EXPECT_EQ(device.RecordAt(0)->found_through_aspi, 1);
    }
    {
        // The letters cannot be counted (the heap holds the object's buffers and nothing
        // more): -1 never makes the scan fall back.
        machine_.os.ntFamily = true;
        machine_.os.heapBytes = 2 * kTransferBufferBytes;
        SetApplicationTag(kAspiPermittedTag);
        AtapiDevice device(true);
        EXPECT_TRUE(device.UsesAspi());
        EXPECT_EQ(device.RecordCount(), 1);
    }
}

}  // namespace
}  // namespace quiver
