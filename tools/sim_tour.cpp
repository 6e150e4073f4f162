// quiver-sim-tour: a walk through the built-in emulated PC on the platform seam, the way the
// updater sees it. It lists the drive letters, opens every optical drive, asks for its SCSI
// address and identity, reads the flash chip of the KMR-730T, loads the matching flash
// profile, writes a 1 MiB image in 16 KiB blocks with read-back, programs the flash and shows
// the drive coming back with the new revision. Every SCSI command is printed.
//
//   quiver-sim-tour [--quiet]
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "flash/flash_tables.h"
#include "formats/firmware_image.h"
#include "platform/platform.h"
#include "platform/sim/sim_platform.h"
#include "sim/machine.h"

namespace {

using namespace quiver;

struct Tour {
    sim::Machine& machine;
    bool quiet = false;
    std::vector<std::uint8_t> data = std::vector<std::uint8_t>(65536);
    SCSI_PASS_THROUGH_DIRECT_WITH_BUFFER request{};

    // One command through IOCTL_SCSI_PASS_THROUGH_DIRECT. Returns the SCSI status, or -1 when
    // the request itself failed.
    int Command(HANDLE device, std::vector<std::uint8_t> cdb, UCHAR direction,
                std::uint32_t length) {
        std::memset(&request, 0, sizeof request);
        auto& s = request.sptd;
        s.Length = sizeof(SCSI_PASS_THROUGH_DIRECT);
        s.CdbLength = 12;
        s.SenseInfoLength = 24;
        s.DataIn = direction;
        s.DataTransferLength = length;
        s.TimeOutValue = 60;
        s.DataBuffer = length != 0 ? data.data() : nullptr;
        s.SenseInfoOffset = offsetof(SCSI_PASS_THROUGH_DIRECT_WITH_BUFFER, ucSenseBuf);
        cdb.resize(12);
        std::memcpy(s.Cdb, cdb.data(), 12);
        DWORD returned = 0;
        const BOOL ok =
            Os().DeviceIoControl(device, IOCTL_SCSI_PASS_THROUGH_DIRECT, &request, sizeof request,
                                 &request, sizeof request, &returned, nullptr);
        return ok ? s.ScsiStatus : -1;
    }

    std::string Sense() const {
        char text[32];
        std::snprintf(text, sizeof text, "%X/%02X/%02X", request.ucSenseBuf[2] & 0x0F,
                      request.ucSenseBuf[12], request.ucSenseBuf[13]);
        return text;
    }

    std::string Identity(HANDLE device) {
        if (Command(device, {0x12, 0, 0, 0, 96}, SCSI_IOCTL_DATA_IN, 96) != 0) {
            return "(no answer)";
        }
        return std::string(reinterpret_cast<const char*>(&data[8]), 24) + " " +
               std::string(reinterpret_cast<const char*>(&data[32]), 4);
    }

    // Polls TEST UNIT READY until the drive is ready, at most `seconds` of emulated time.
    void WaitReady(HANDLE device, double seconds) {
        const double end = machine.clock.NowSeconds() + seconds;
        while (Command(device, {0x00}, SCSI_IOCTL_DATA_UNSPECIFIED, 0) != 0 &&
               machine.clock.NowSeconds() < end) {
            const int key = request.ucSenseBuf[2] & 0x0F;
            const bool becomingReady = key == 2 && request.ucSenseBuf[12] == 0x04;
            std::printf("  %s: %s\n", becomingReady || key == 6 ? "waiting" : "answers",
                        Sense().c_str());
            if (!becomingReady && key != 6) {
                break;  // an answer of its own (no medium, say): the drive is there
            }
            Os().Sleep(300);
        }
    }

    bool Flash(HANDLE device, const std::vector<std::uint8_t>& image) {
        if (Command(device, {0xDF, 0x11}, SCSI_IOCTL_DATA_IN, 128) != 0) {
            std::printf("  no flash identification: %s\n", Sense().c_str());
            return false;
        }
        std::printf("  flash chip %02X %02X %02X %02X\n", data[0], data[1], data[2], data[3]);
        int entry = -1;
        for (int k = 0; k < 27 && entry < 0; ++k) {
            if (std::memcmp(FlashChipTable[k].id, data.data(), 4) == 0)
                entry = k;
        }
        if (entry < 0) {
            std::printf("  the chip is not in the table\n");
            return false;
        }
        const FlashChipEntry& chip = FlashChipTable[entry];
        const std::uint32_t size = (chip.sizeHigh << 8) | chip.sizeLow;
        const std::uint32_t header = entry < 2 ? 4 : 6;
        std::memset(data.data(), 0, 32768);
        std::memcpy(data.data(), &chip, header);
        std::memcpy(data.data() + header, FlashProfiles() + FlashProfileOffset(ProfileMap[entry]),
                    size);
        std::uint32_t length = size + (size & 1);
        if (entry < 2 || entry > 4)
            length += header;  // 2 to 4 count it inside
        std::vector<std::uint8_t> cdb{0x3B, 0x05, 0x01, 0, 0, 0, 0, 0, 0, 0x7F};
        if (entry < 2) {
            cdb[3] = 0x08;
            cdb[9] = 0;
        }
        cdb[6] = static_cast<std::uint8_t>(length >> 16);
        cdb[7] = static_cast<std::uint8_t>(length >> 8);
        cdb[8] = static_cast<std::uint8_t>(length);
        std::printf("  flash profile %d (table entry %d), %u bytes\n", ProfileMap[entry], entry,
                    length);
        if (Command(device, cdb, SCSI_IOCTL_DATA_OUT, length) != 0) {
            std::printf("  profile refused: %s\n", Sense().c_str());
            return false;
        }
        for (std::uint32_t block = 0; block < image.size() / 16384; ++block) {
            const std::uint32_t offset = block * 16384;
            std::vector<std::uint8_t> write{0x3B,
                                            0x05,
                                            0x01,
                                            static_cast<std::uint8_t>(offset >> 16),
                                            static_cast<std::uint8_t>(offset >> 8),
                                            0,
                                            0,
                                            0x40,
                                            0};
            std::vector<std::uint8_t> read = write;
            read[0] = 0x3C;
            read[1] = 0x01;
            std::memcpy(data.data(), image.data() + offset, 16384);
            if (Command(device, write, SCSI_IOCTL_DATA_OUT, 16384) != 0)
                return false;
            std::memset(data.data(), 0, 16384);
            if (Command(device, read, SCSI_IOCTL_DATA_IN, 16384) != 0)
                return false;
            if (std::memcmp(data.data(), image.data() + offset, 16384) != 0) {
                std::printf("  block %u differs on read-back\n", block);
                return false;
            }
        }
        std::printf("  %zu blocks written and verified\n", image.size() / 16384);
        if (Command(device, {0x3B, 0x05, 0x01, 0, 0, 0, 0, 0, 0, 0xA0}, SCSI_IOCTL_DATA_UNSPECIFIED,
                    0) != 0) {
            std::printf("  program command refused: %s\n", Sense().c_str());
            return false;
        }
        return true;
    }
};

void PrintLog(const sim::Drive& drive) {
    for (const sim::LoggedCommand& c : drive.Log()) {
        static const char* const kDir[] = {"none", "in", "out"};
        static const char* const kEnd[] = {"good", "check", "failed"};
        std::printf("    %9.3f s  %s  %-4s %6u  %s", static_cast<double>(c.startNanos) / 1e9,
                    c.CdbHex().c_str(), kDir[static_cast<int>(c.dir)], c.length,
                    kEnd[static_cast<int>(c.completion)]);
        if (c.completion == sim::Completion::CheckCondition) {
            std::printf(" %X/%02X/%02X", c.sense.key, c.sense.asc, c.sense.ascq);
        }
        std::printf("\n");
    }
}

}  // namespace

int main(int argc, char** argv) {
    const bool quiet = argc > 1 && std::strcmp(argv[1], "--quiet") == 0;

    sim::Machine machine;
    sim::DriveConfig kmr;  // a KMR-730T at QM01
    sim::DriveConfig other;
    other.model = sim::DriveModel::Other;
    other.vendor = "ORBITECH";
    other.product = "DVD-ROM OD-1650 ";
    other.revision = "1.02";
    machine.AddDrive(kmr);
    machine.AddDrive(other);
    machine.AddLetter('C', sim::LetterType::Fixed);
    sim::Letter& e = machine.AddLetter('E', sim::LetterType::CdRom, 0);
    e.port = 1;
    sim::Letter& f = machine.AddLetter('F', sim::LetterType::CdRom, 1);
    f.port = 1;
    f.target = 1;

    SimPlatform platform(machine);
    ScopedPlatform installed(platform);
    Tour tour{machine, quiet};

    char roots[128] = {};
    Os().GetLogicalDriveStringsA(sizeof roots, roots);
    for (const char* root = roots; *root != '\0'; root += std::strlen(root) + 1) {
        const UINT type = Os().GetDriveTypeA(root);
        std::printf("%s  type %u%s\n", root, type, type == DRIVE_CDROM ? " (optical)" : "");
        if (type != DRIVE_CDROM)
            continue;
        const std::string path = std::string("\\\\.\\") + root[0] + ":";
        HANDLE device = Os().CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE,
                                         FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                                         0, nullptr);
        if (device == INVALID_HANDLE_VALUE) {
            std::printf("  cannot open %s\n", path.c_str());
            continue;
        }
        SCSI_ADDRESS address{};
        DWORD returned = 0;
        if (Os().DeviceIoControl(device, IOCTL_SCSI_GET_ADDRESS, &address, sizeof address, &address,
                                 sizeof address, &returned, nullptr)) {
            std::printf("  address %u:%u:%u:%u\n", address.PortNumber, address.PathId,
                        address.TargetId, address.Lun);
        }
        // The first command after power-on reports the reset; INQUIRY does not clear it.
        tour.WaitReady(device, 30);
        std::printf("  identity \"%s\"\n", tour.Identity(device).c_str());
        Os().CloseHandle(device);
    }

    // Flash the KMR-730T on E:.
    HANDLE device =
        Os().CreateFileA("\\\\.\\E:", GENERIC_READ | GENERIC_WRITE,
                         FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr);
    const std::vector<std::uint8_t> image = sim::MakeFirmwareImage("QM0F", 1u << 20);
    std::printf("\nE:\\  flashing a 1 MiB image with revision QM0F\n");
    const bool flashed = tour.Flash(device, image);
    if (flashed) {
        tour.WaitReady(device, 60);
        std::printf("  identity after the update \"%s\"\n", tour.Identity(device).c_str());
    }
    Os().CloseHandle(device);

    if (!quiet) {
        for (std::size_t i = 0; i < machine.DriveCount(); ++i) {
            std::printf("\nCommands seen by drive %zu:\n", i);
            PrintLog(machine.drive(i));
        }
    }
    std::printf("\n%s after %.1f emulated seconds\n",
                flashed && machine.drive(0).Revision() == "QM0F" ? "Updated" : "Not updated",
                machine.clock.NowSeconds());
    return flashed && machine.drive(0).Revision() == "QM0F" ? 0 : 1;
}
