// The updater's side of the side-by-side with sg_write_buffer: a firmware image written in 16 KiB
// blocks, each read back and compared, through the Linux drive access (SG_IO on /dev/sr0; WRITE
// BUFFER on /dev/sg0 once the block node has refused the drive's filtered commands). Run it with
// the SG_IO interposer preloaded (scripts/bench does): the drive is an emulated KMR-730T.
//
//   quiver_sgio_download [--root DIR] IMAGE         scan, select the drive, write and verify
//   quiver_sgio_download [--root DIR] --scan-only   scan and select only: the fixed cost
//
// DIR holds the sysfs tree that the backend reads (sys/class/block/sr0 and what it links to);
// without it the tree is laid out in a temporary directory, which costs the process file
// system work. The interposer serves the device nodes under the root. Exit status 0 when every
// block was written and read back equal. Prints the time of the transfer itself (steady clock)
// and the SG_IO requests it made to standard output.
#include <chrono>
#include <cstdio>
#include <cstring>
#include <exception>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "device/atapi_device.h"
#include "fake_sysfs.h"
#include "flash/firmware_download.h"
#include "platform/linux/linux_drives.h"
#include "platform/linux/linux_system.h"

namespace {

int Run(int argc, char** argv) {
    std::string root;
    if (argc == 4 && std::strcmp(argv[1], "--root") == 0) {
        root = argv[2];
        argv += 2;
        argc -= 2;
    }
    if (argc != 2) {
        std::fprintf(stderr, "usage: quiver_sgio_download [--root DIR] IMAGE | --scan-only\n");
        return 2;
    }
    const bool scanOnly = std::strcmp(argv[1], "--scan-only") == 0;
    std::vector<std::uint8_t> image;
    if (!scanOnly) {
        std::ifstream in(argv[1], std::ios::binary | std::ios::ate);
        const std::streamoff size = in ? static_cast<std::streamoff>(in.tellg()) : 0;
        image.resize(size > 0 ? static_cast<std::size_t>(size) : 0);
        in.seekg(0);
        if (image.empty() || !in.read(reinterpret_cast<char*>(image.data()), size)) {
            std::fprintf(stderr, "quiver_sgio_download: cannot read %s\n", argv[1]);
            return 2;
        }
    }

    std::unique_ptr<quiver::linuxtest::FakeSysfs> sysfs;
    if (root.empty()) {
        sysfs = std::make_unique<quiver::linuxtest::FakeSysfs>();
        sysfs->Add({.sr = 0, .hctl = "1:0:0:0", .sg = 0, .devNode = false});
        root = sysfs->root();
    }
    quiver::LinuxSystem system;
    quiver::LinuxDrives drives(root);
    quiver::ScopedRoles roles({&system, &system, nullptr, &drives});

    quiver::AtapiDevice device(true);
    if (device.RecordCount() < 1 || !device.SelectDrive(0)) {
        std::fprintf(stderr, "quiver_sgio_download: no drive at %s/dev/sr0\n", root.c_str());
        return 1;
    }
    device.ClearUnitAttention();
    if (scanOnly) {
        device.ReleaseDrive();
        return 0;
    }

    const std::uint64_t requestsBefore = drives.Requests();
    const auto start = std::chrono::steady_clock::now();
    const bool verified = quiver::FirmwareDownload(device).TransferImage(
        image.data(), static_cast<std::int32_t>(image.size()));
    const auto took = std::chrono::steady_clock::now() - start;
    device.ReleaseDrive();
    std::printf("transfer_us=%.1f verified=%d bytes=%zu requests=%llu\n",
                std::chrono::duration<double, std::micro>(took).count(), verified ? 1 : 0,
                image.size(), static_cast<unsigned long long>(drives.Requests() - requestsBefore));
    return verified ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
    try {
        return Run(argc, argv);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "quiver_sgio_download: %s\n", e.what());
        return 1;
    }
}
