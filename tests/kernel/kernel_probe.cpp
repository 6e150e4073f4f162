// quiver-kernel-probe: the Linux backend under a real kernel, used as the window uses it. It
// scans for drives with a drive object on the Linux drive access and prints what it found; with
// `write` it also opens every drive found, reads its identity again (read access) and sends it
// one block of WRITE BUFFER, as the download's first block, and prints how that ended. The test
// guest runs it as root and as users with less access (tests/kernel/guest_run.sh).
//
// Output, one fact a line:
//   optical srN                     every optical drive the backend lists
//   drive H:C:T:L|vendor|product|revision   every drive the scan could open (trailing blanks cut)
//   inaccessible H:C:T:L|problem    every drive the scan found but could not open
//   line I "<drive list line>"      as the window shows it
//   reported I <0|1>                whether the address came from the system
//   count N                         the drives found
//   scan-access "<line>"            the scan's line on the access that is missing, if any
//   inquiry H:C:T:L ok=<0|1>        (write) the identity read again on the opened drive
//   write H:C:T:L ok=<0|1> outcome=<good|check|failed> sense=KK/AA/QQ generic=<0|1>
//                                   (write) generic: whether the backend sends the command to
//                                   the generic node
//   write-access H:C:T:L "<line>"   (write) the line on the access that is missing, if any
//   select H:C:T:L failed           (write) the drive could not be opened
//   report <text>                   whatever the backend reported on its own
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "app/frm_quiver.h"
#include "device/atapi_device.h"
#include "device/command_set.h"
#include "platform/linux/linux_drives.h"
#include "platform/linux/linux_system.h"
#include "platform/platform.h"

namespace {

using quiver::AtapiDevice;
using quiver::DriveRecord;

constexpr std::uint32_t kOneBlock = 16384;

std::string Trimmed(const char* text, std::size_t size) {
    std::string s(text, strnlen(text, size));
    while (!s.empty() && (s.back() == ' ' || s.back() == '\0')) {
        s.pop_back();
    }
    return s;
}

std::string Address(const DriveRecord& r) {
    return std::to_string(r.adapter) + ":" + std::to_string(r.path_id) + ":" +
           std::to_string(r.target_id) + ":" + std::to_string(r.lun);
}

const char* Outcome(std::uint8_t outcome) {
    switch (outcome) {
        case quiver::kOutcomeGood:
            return "good";
        case quiver::kOutcomeCheckCondition:
            return "check";
        default:
            return "failed";
    }
}

void List(quiver::LinuxDrives& drives, AtapiDevice& device) {
    for (const quiver::DriveEntry& entry : drives.ListDrives()) {
        std::printf("optical %s\n", entry.name.c_str());
    }
    const int nameWidth = quiver::DriveNameWidth(device);
    int count = 0;
    for (int i = 0; i < device.RecordCount(); ++i) {
        const DriveRecord* r = device.RecordAt(i);
        if (r == nullptr) {
            continue;
        }
        ++count;
        if (r->access_problem[0] != '\0') {
            std::printf("inaccessible %s|%s\n", Address(*r).c_str(),
                        Trimmed(r->access_problem, sizeof r->access_problem).c_str());
        } else {
            std::printf("drive %s|%s|%s|%s\n", Address(*r).c_str(),
                        Trimmed(r->vendor, sizeof r->vendor).c_str(),
                        Trimmed(r->product, sizeof r->product).c_str(),
                        Trimmed(r->revision, sizeof r->revision).c_str());
        }
        std::printf("line %d \"%s\"\n", i, quiver::DriveListLine(*r, nameWidth).c_str());
        std::printf("reported %d %d\n", i, r->address_reported);
    }
    std::printf("count %d\n", count);
    if (!device.ScanMissingAccess().empty()) {
        std::printf("scan-access \"%s\"\n", device.ScanMissingAccess().c_str());
    }
}

void Write(quiver::LinuxDrives& drives, AtapiDevice& device) {
    device.ReleaseDrive();
    for (int i = 0; i < device.RecordCount(); ++i) {
        const DriveRecord* r = device.RecordAt(i);
        if (r == nullptr || r->access_problem[0] != '\0') {
            continue;
        }
        const std::string address = Address(*r);
        const std::string name = Trimmed(r->device_name, sizeof r->device_name);
        if (!device.SelectDrive(i)) {
            std::printf("select %s failed\n", address.c_str());
            continue;
        }
        device.ClearUnitAttention();
        std::printf("inquiry %s ok=%d\n", address.c_str(), device.RefreshIdentity() ? 1 : 0);

        std::memset(device.WriteBufferData(), 0, kOneBlock);
        const bool ok = device.WriteBuffer(0, kOneBlock, quiver::kWriteImageBlock);
        const quiver::LastCommand& last = device.LastCommandRecord();
        std::printf("write %s ok=%d outcome=%s sense=%02X/%02X/%02X generic=%d\n", address.c_str(),
                    ok ? 1 : 0, Outcome(last.outcome), last.senseKey, last.asc, last.ascq,
                    drives.UsesGenericNode(name) ? 1 : 0);
        if (!device.MissingAccess().empty()) {
            std::printf("write-access %s \"%s\"\n", address.c_str(),
                        device.MissingAccess().c_str());
        }
        device.ReleaseDrive();
    }
}

}  // namespace

int main(int argc, char** argv) {
    const std::string mode = argc == 2 ? argv[1] : "";
    if (mode != "list" && mode != "write") {
        std::fprintf(stderr, "usage: quiver-kernel-probe list|write\n");
        return 2;
    }
    std::vector<std::string> reports;
    quiver::LinuxDrives::Hooks hooks;
    hooks.report = [&reports](const std::string& text) { reports.push_back(text); };
    quiver::LinuxSystem system;
    quiver::LinuxDrives drives("/", hooks);
    quiver::ScopedRoles installed({&system, &system, &system, &drives});

    AtapiDevice device(true);
    List(drives, device);
    if (mode == "write") {
        Write(drives, device);
    }
    for (const std::string& text : reports) {
        std::printf("report %s\n", text.c_str());
    }
    return 0;
}
