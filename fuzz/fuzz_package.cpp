// The package readers and the drive matching over arbitrary package blocks. The input is the
// start of the block (the header, and the image area after it when the input is long enough),
// padded with zeros or cut to the block's size.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <vector>

#include "device/drive_record.h"
#include "package/firmware_package.h"
#include "package/match_drives.h"
#include "platform/sim/sim_platform.h"

namespace {

using namespace quiver;

DriveRecord Record(const char* vendor, const char* product, const char* revision) {
    DriveRecord r{};
    std::snprintf(r.identity, sizeof r.identity, "%-8.8s%-16.16s", vendor, product);
    std::snprintf(r.vendor, sizeof r.vendor, "%-8.8s", vendor);
    std::snprintf(r.product, sizeof r.product, "%-16.16s", product);
    std::snprintf(r.revision, sizeof r.revision, "%.4s", revision);
    r.in_use = 1;
    r.image_index = 7;
    return r;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static sim::Machine machine;
    static SimPlatform os(machine);
    static ScopedPlatform scope(os);

    std::vector<std::uint8_t> block(kPackageSize, 0);
    std::memcpy(block.data(), data, std::min(size, block.size()));

    const PackageReader reader(block.data());
    volatile std::size_t sink =
        reader.Title().size() + reader.Version().size() + reader.DriveName().size();
    const PackageFlags flags = reader.Flags();
    sink = sink + static_cast<std::size_t>(flags.how_many_bin) + (reader.Admin() ? 1 : 0) +
           (reader.ImageAreaUnfilled() ? 1 : 0);
    for (int bank = 0; bank <= kPackageBanks + 1; ++bank) {
        sink = sink + static_cast<std::size_t>(reader.ImageStart(bank)) +
               static_cast<std::size_t>(reader.ImageSize(bank)) + reader.NewRevision(bank).size();
        if (reader.BankIsValid(bank)) {
            // A valid bank lies inside the image area: every byte of it can be read.
            const std::int32_t start = reader.ImageStart(bank);
            const std::int32_t length = reader.ImageSize(bank);
            if (start < 0 || length <= 0 ||
                static_cast<std::size_t>(start) + static_cast<std::size_t>(length) >
                    kImageAreaSize) {
                __builtin_trap();
            }
            sink = sink + reader.ImageArea()[start] + reader.ImageArea()[start + length - 1];
        }
        for (int entry = 0; entry <= kEntriesPerBank + 1; ++entry) {
            const ConstraintFields c = reader.Constraint(bank, entry);
            sink = sink + c.lowest.size() + c.highest.size() + c.vendor.size() + c.product.size();
        }
    }

    DriveRecord records[kMaxDrives] = {
        Record("Korvane ", "DVDRW KMR-730T  ", "QM01"),
        Record("Korvane ", "DVDRW KMR-730T  ", "QM0F"),
        Record("Korvane ", "DVDRW KMR-730T  ", "ZZZZ"),
        Record("Other   ", "CD-RW DRIVE 52X ", "1.00"),
        Record("", "", ""),
    };
    MatchDrives(block.data(), records, 5);
    for (int i = 0; i < 5; ++i) {
        const DriveRecord& r = records[i];
        if (r.allowed > 1 || r.up_to_date > 1 ||
            (r.allowed == 1 && r.image_index >= kPackageBanks)) {
            __builtin_trap();
        }
    }
    (void)sink;
    return 0;
}
