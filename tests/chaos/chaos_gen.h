// The RapidCheck generator of cases: machines of 1 to 16 drives (KMR-730Ts at various revisions,
// other makers' drives, letters and ASPI addresses, the OS family, an ASPI manager or none), a
// package (flags, 1 to 4 banks, constraint entries, image ranges that are usable and some that
// are not), faults on the machine file's vocabulary at random commands and image attempts, and
// the user's answers. Every choice shrinks towards the plainer one listed first.
#pragma once

#include <ostream>

#include <rapidcheck.h>

#include "chaos_case.h"

namespace quiver::chaos {

rc::Gen<ChaosCase> CaseGen();

// How RapidCheck shows a case: its case.json, on one line.
void showValue(const ChaosCase& c, std::ostream& os);

}  // namespace quiver::chaos
