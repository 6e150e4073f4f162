#include "sim/scsi.h"

#include <cstdio>

namespace sim {

std::array<std::uint8_t, kSenseBytes> FixedSense(Sense s) {
    std::array<std::uint8_t, kSenseBytes> b{};
    b[0] = 0x70;
    b[2] = static_cast<std::uint8_t>(s.key & 0x0F);
    b[7] = static_cast<std::uint8_t>(kSenseBytes - 8);
    b[12] = s.asc;
    b[13] = s.ascq;
    return b;
}

std::string LoggedCommand::CdbHex() const {
    std::string out;
    char hex[4];
    for (std::size_t i = 0; i < cdbLength && i < cdb.size(); ++i) {
        std::snprintf(hex, sizeof hex, i == 0 ? "%02X" : " %02X", cdb[i]);
        out += hex;
    }
    return out;
}

}  // namespace sim
