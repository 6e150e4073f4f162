// A temporary directory laid out like the parts of sysfs and /dev that the Linux backend reads:
// sys/class/block/srN/device -> the SCSI device directory named host:channel:target:lun, with
// type, vendor, model, rev and scsi_generic/sgM beside it.
#pragma once

#include <stdlib.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <string>

namespace quiver::linuxtest {

// The machine the interposer serves in these tests: a KMR-730T at QM01 that is ready at once
// after programming (nothing waits on the emulated clock), and a drive of another maker.
inline constexpr const char* kTwoDriveMachine = R"({
  "drives": [
    {"name": "E", "timings": {"powerOnReadySeconds": 0, "resetReadySeconds": 0}},
    {"name": "F", "model": "other", "vendor": "OTHERCO", "product": "DVD-ROM 16X"}
  ],
  "letters": [
    {"letter": "E", "drive": "E", "address": {"port": 1, "path": 0, "target": 0, "lun": 0}},
    {"letter": "F", "drive": "F", "address": {"port": 2, "path": 0, "target": 1, "lun": 0}}
  ]
})";

struct FakeDrive {
    int sr = 0;
    std::string hctl = "1:0:0:0";
    std::string type = "5";
    std::string vendor = "Korvane";
    std::string model = "DVDRW KMR-730T";
    std::string rev = "QM01";
    int sg = -1;              // the generic node's number; -1: none
    std::string bus = "ata";  // part of the device's path: "ata", "usb" or anything
    bool devNode = true;      // a regular file stands in for dev/srN (and dev/sgM)
};

class FakeSysfs {
  public:
    FakeSysfs() {
        std::string pattern = (std::filesystem::temp_directory_path() / "quiver-sysfs-XXXXXX");
        if (mkdtemp(pattern.data()) == nullptr) {
            throw std::runtime_error("mkdtemp failed");
        }
        root_ = pattern;
        std::filesystem::create_directories(root_ / "sys/class/block");
        std::filesystem::create_directories(root_ / "dev");
    }
    ~FakeSysfs() {
        std::error_code ignored;
        std::filesystem::remove_all(root_, ignored);
    }
    FakeSysfs(const FakeSysfs&) = delete;
    FakeSysfs& operator=(const FakeSysfs&) = delete;

    std::string root() const { return root_.string(); }
    std::filesystem::path path() const { return root_; }

    void Add(const FakeDrive& d) {
        const std::filesystem::path device =
            root_ / "sys/devices/pci0000:00" / (d.bus + std::to_string(d.sr)) / d.hctl;
        std::filesystem::create_directories(device);
        Write(device / "type", d.type + "\n");
        Write(device / "vendor", d.vendor + "\n");
        Write(device / "model", d.model + "\n");
        Write(device / "rev", d.rev + "\n");
        const std::string sr = "sr" + std::to_string(d.sr);
        const std::filesystem::path block = root_ / "sys/class/block" / sr;
        std::filesystem::create_directories(block);
        std::filesystem::create_directory_symlink(device, block / "device");
        if (d.sg >= 0) {
            std::filesystem::create_directories(device / "scsi_generic" /
                                                ("sg" + std::to_string(d.sg)));
        }
        if (d.devNode) {
            Write(root_ / "dev" / sr, "");
            if (d.sg >= 0) {
                Write(root_ / "dev" / ("sg" + std::to_string(d.sg)), "");
            }
        }
    }

    // Any other block device, a disk say.
    void AddBlock(const std::string& name) {
        std::filesystem::create_directories(root_ / "sys/class/block" / name);
    }

    static void Write(const std::filesystem::path& file, const std::string& text) {
        std::ofstream out(file, std::ios::trunc);
        out << text;
    }

  private:
    std::filesystem::path root_;
};

}  // namespace quiver::linuxtest
