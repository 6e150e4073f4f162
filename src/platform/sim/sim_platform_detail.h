// What the emulated PC's platform files share: the entries of its handle table. Not part of the
// platform's interface.
#pragma once

#include <string>

#include "platform/sim/sim_platform.h"

namespace quiver {

struct SimPlatform::HandleEntry {
    enum class Kind { Device, Event, Token, Mutex };
    Kind kind = Kind::Device;
    char letter = 0;        // Device
    int drive = -1;         // Device
    DWORD access = 0;       // Device, Token
    void* event = nullptr;  // Event: the machine's event
    std::string name;       // Mutex: its name; empty for a mutex without one
};

}  // namespace quiver
