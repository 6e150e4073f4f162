// The package matching: which detected drives may be updated, with which bank's image, and
// which of them already carry that bank's new revision.
#pragma once

#include <cstdint>

#include "device/drive_record.h"
#include "package/package_layout.h"

namespace quiver {

// Sets the allowed mark of records[0] to records[count - 1], and the image index and up-to-date
// mark of each allowed one. A record that no bank admits keeps its image index and up-to-date
// mark. Banks that fail BankIsValid admit no drive.
void MatchDrives(const std::uint8_t* block, DriveRecord* records, int count);
void MatchDrives(DriveRecord* records, int count);

}  // namespace quiver
