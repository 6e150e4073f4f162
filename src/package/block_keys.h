// The key entries of the package block by name: where each slot sits and what it is called.
#pragma once

#include <cstddef>

#include "package/firmware_package.h"
#include "package/package_layout.h"

namespace quiver::pack {

// A one-digit entry, "KEY=d". ADMIN is one of these too: its digit is compared with '1'.
struct FlagKey {
    const char* name;  // the key as the block spells it, without "="
    std::size_t offset;
    std::size_t size;
};

#define QUIVER_PACK_KEY(name, member)                                        \
    FlagKey {                                                                \
        name, offsetof(PackageHeader, member), sizeof(PackageHeader::member) \
    }

// In the order of the block. HOW_MANY_BIN comes last and is written from the bank count.
inline constexpr FlagKey kFlagKeys[] = {
    QUIVER_PACK_KEY("N2OMESSAGE", n2o_message), QUIVER_PACK_KEY("CHKDISC", chk_disc),
    QUIVER_PACK_KEY("BOOTCODE", boot_code),     QUIVER_PACK_KEY("REBOOT", reboot),
    QUIVER_PACK_KEY("AUTOMODE", auto_mode),     QUIVER_PACK_KEY("CLOSEAP", close_ap),
    QUIVER_PACK_KEY("WARNING", warning),        QUIVER_PACK_KEY("ADMIN", admin),
    QUIVER_PACK_KEY("NBWARNING", nb_warning),   QUIVER_PACK_KEY("HOW_MANY_BIN", how_many_bin),
};

#undef QUIVER_PACK_KEY

constexpr int kFlagKeyCount = sizeof kFlagKeys / sizeof kFlagKeys[0];
constexpr int kAdminKey = 7;
constexpr int kHowManyBinKey = 9;

constexpr std::size_t kConstraintsMarkerOffset = offsetof(PackageHeader, constraints_marker);
constexpr char kConstraintsMarker[] = "FW_CONSTRAINTS=";

constexpr std::size_t BinStartOffset(int bank) {
    return offsetof(PackageHeader, bin_start) + (bank - 1) * sizeof(PackageHeader::bin_start[0]);
}
constexpr std::size_t BinSizeOffset(int bank) {
    return offsetof(PackageHeader, bin_size) + (bank - 1) * sizeof(PackageHeader::bin_size[0]);
}
constexpr std::size_t NewFwOffset(int bank) {
    return offsetof(PackageHeader, new_fw) + (bank - 1) * sizeof(PackageHeader::new_fw[0]);
}

}  // namespace quiver::pack
