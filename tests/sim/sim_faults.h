// Faults for the emulator's tests, as a machine file would stage them.
#pragma once

#include "sim/drive.h"

namespace sim {

// A fault on the first matching command.
inline Fault MakeFault(Fault::Kind kind, int opcode, Sense sense = {}, double seconds = 0.0) {
    Fault fault;
    fault.kind = kind;
    fault.opcode = opcode;
    fault.sense = sense;
    fault.seconds = seconds;
    return fault;
}

}  // namespace sim
