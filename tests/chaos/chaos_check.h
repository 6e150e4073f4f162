// The invariants every run must keep, checked from the drives' own command logs and the window's
// events, with a reading of the package of the check's own:
//   1. no WRITE BUFFER and no vendor command reaches a drive after the scan unless the package
//      admits the identity the drive reported at the scan, and the drive that answered the last
//      identity request before the first of them reports that same identity;
//   2. a drive gets the program command only after every block of its bank's image was written
//      and read back equal (every byte moved, GOOD) since the last image write at offset 0, and
//      a drive gets at most one (a drive and those put in its place count as one: the updater
//      cannot tell them apart during the flash);
//   3. an update ends with exactly one of the success and the failure dialog; success only when
//      every target drive was programmed and reported its old or its new revision, if any;
//      failure only when one was not or reported another (when nothing timed out);
//   4. the run ends by itself, no exception escapes a handler, no worker is left running;
//   5. a restart is requested only after the success dialog, once, and only when the package
//      asks for it.
// Identities compare the drives' INQUIRY texts as sent (vendor 8, product 16 and revision 4
// characters, blank-padded) and the unit serial number.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "chaos_run.h"

namespace quiver::chaos {

struct Finding {
    int property = 0;  // 1 to 5, as above
    std::string text;
};

std::vector<Finding> CheckRun(const std::vector<std::uint8_t>& package, const RunView& run);

// One finding a line, "property N: text".
std::string Describe(const std::vector<Finding>& findings);

}  // namespace quiver::chaos
