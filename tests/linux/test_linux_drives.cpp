// The Linux backend on a fake sysfs tree: which drives are listed, under which names, addresses
// and identities, drives whose node cannot be opened, and the clock and collation of the system
// role. Commands and access refusals run through the interposer (test_interposer.cpp).
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "fake_sysfs.h"
#include "platform/linux/linux_drives.h"
#include "platform/linux/linux_system.h"

namespace quiver {
namespace {

using linuxtest::FakeSysfs;

std::vector<std::string> Names(const std::vector<DriveEntry>& drives) {
    std::vector<std::string> names;
    for (const DriveEntry& d : drives) {
        names.push_back(d.name);
    }
    return names;
}

TEST(LinuxDrives, ListsOpticalDrivesOnlyInNumberOrderUnderTheirOwnNames) {
    FakeSysfs fs;
    fs.Add({.sr = 10, .hctl = "4:0:2:1", .sg = 3, .bus = "usb"});
    fs.Add({.sr = 2, .hctl = "3:0:0:0", .vendor = "OTHERCO ", .model = "DVD-ROM 16X     "});
    fs.Add({.sr = 1, .hctl = "2:0:0:0", .type = "0"});  // a disk behind an sr name
    fs.Add({.sr = 40, .hctl = "5:1:0:0"});              // no table of letters ends at 35
    fs.AddBlock("sda");
    fs.AddBlock("srx");
    LinuxDrives drives(fs.root());

    const std::vector<DriveEntry> listed = drives.ListDrives();
    EXPECT_EQ(Names(listed), (std::vector<std::string>{"sr2", "sr10", "sr40"}));
    const DriveEntry& other = listed[0];
    EXPECT_EQ(other.node, fs.root() + "/dev/sr2");
    EXPECT_EQ(other.vendor, "OTHERCO");  // sysfs pads the identity with blanks
    EXPECT_EQ(other.model, "DVD-ROM 16X");
    EXPECT_EQ(other.revision, "QM01");
    EXPECT_EQ(other.host, 3);
    EXPECT_TRUE(other.problem.empty());
    const DriveEntry& usb = listed[1];
    EXPECT_EQ(usb.host, 4);
    EXPECT_EQ(usb.channel, 0);
    EXPECT_EQ(usb.target, 2);
    EXPECT_EQ(usb.lun, 1);
    EXPECT_EQ(listed[2].channel, 1);
}

TEST(LinuxDrives, NoSysfsMeansNoDrives) {
    LinuxDrives drives("/nonexistent/root");
    EXPECT_TRUE(drives.ListDrives().empty());
    std::string problem;
    EXPECT_EQ(drives.Open("sr0", &problem), nullptr);
    EXPECT_FALSE(problem.empty());
}

TEST(LinuxDrives, ADriveWithoutItsNodeIsListedWithTheReason) {
    FakeSysfs fs;
    fs.Add({.sr = 0, .hctl = "1:0:0:0", .devNode = false});
    fs.Add({.sr = 1, .hctl = "1:0:1:0"});
    LinuxDrives drives(fs.root());
    const std::vector<DriveEntry> listed = drives.ListDrives();
    ASSERT_EQ(listed.size(), 2u);
    EXPECT_EQ(listed[0].problem, fs.root() + "/dev/sr0: no such file or directory");
    EXPECT_TRUE(listed[0].missingAccess.empty());  // nothing a permission would change
    EXPECT_TRUE(listed[1].problem.empty());

    std::string problem;
    EXPECT_EQ(drives.Open("sr0", &problem), nullptr);
    EXPECT_EQ(problem, listed[0].problem);
    // Only listed drives open; a name is never a path.
    EXPECT_EQ(drives.Open("../sr1", &problem), nullptr);
    EXPECT_EQ(drives.Open("sda", &problem), nullptr);
    const auto drive = drives.Open("sr1", &problem);
    ASSERT_NE(drive, nullptr);
    EXPECT_EQ(drive->Entry().target, 1);
    EXPECT_TRUE(drive->MissingAccess().empty());
}

TEST(LinuxSystemRole, CounterCollationAndClock) {
    std::int64_t now = 5;
    std::vector<DWORD> slept;
    LinuxSystem::Hooks hooks;
    hooks.monotonicNanos = [&now] { return now; };
    hooks.sleep = [&slept](DWORD ms) { slept.push_back(ms); };
    LinuxSystem system(hooks);
    LARGE_INTEGER value{};
    ASSERT_TRUE(system.QueryPerformanceFrequency(&value));
    EXPECT_EQ(value.QuadPart, 1'000'000'000);
    now = 42;
    ASSERT_TRUE(system.QueryPerformanceCounter(&value));
    EXPECT_EQ(value.QuadPart, 42);
    system.Sleep(7);
    EXPECT_EQ(slept, std::vector<DWORD>{7});
    EXPECT_EQ(system.CompareStringA(0, 0, "QM01", -1, "QM0F", -1), CSTR_LESS_THAN);
    EXPECT_EQ(system.CompareStringA(0, 0, "QM0F", 4, "QM0F!", 4), CSTR_EQUAL);
    EXPECT_EQ(system.CompareStringA(0, 1, "a", -1, "a", -1), 0);  // flags are not ours
}

}  // namespace
}  // namespace quiver
