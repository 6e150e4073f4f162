// wnaspi32.dll for the tests: an ASPI manager whose host adapters and drives are the emulated
// machine's, described by the same JSON as quiver-sim's machine files. It is built for the tests
// only and never installed or packaged.
//
// Environment:
//   QUIVER_ASPI_MACHINE  the machine file (required; without it, or with a file that cannot be
//                        read, GetASPI32SupportInfo reports SS_NO_ASPI and every request fails)
//   QUIVER_ASPI_STATE    a file that receives the drives' state after every request that changed
//                        it (optional): one line per drive,
//                          drive NAME revision REV programs N boot-code B
//                        and a first line "machine ok" or "machine error: ...".
//
// The machine is made on the first call of either entry point and lives as long as the process:
// the library pins itself, so that releasing and loading it again (the program probes the
// manager before it loads it) keeps the drives' state. Requests complete as the emulated manager
// completes them; SRB_EVENT_NOTIFY requests get SetEvent on the handle in SRB_PostProc. The
// emulated clock runs with real time: scaled by the file's factor, or 1 when the file asks for
// the virtual clock (nothing here would move a virtual clock on).
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>

#include "sim/aspi.h"
#include "sim/aspi_srb.h"
#include "sim/machine.h"
#include "simapp/machine_file.h"

namespace {

struct Emulation {
    sim::Machine machine;
    quiver::simapp::MachineSpec desc;
    std::unique_ptr<sim::AspiManager> manager;
    std::string error;  // empty when the machine file was read
    std::string statePath;
    std::mutex stateMutex;

    void WriteState() {
        if (statePath.empty()) {
            return;
        }
        std::lock_guard<std::mutex> lock(stateMutex);
        std::string text = error.empty() ? "machine ok\n" : "machine error: " + error + "\n";
        for (std::size_t i = 0; error.empty() && i < machine.DriveCount(); ++i) {
            const sim::Drive& drive = machine.drive(i);
            text += "drive " + desc.drives[i].name + " revision " + drive.Revision() +
                    " programs " + std::to_string(drive.ProgramCount()) + " boot-code " +
                    (drive.LastProgramWithBootCode() ? "1" : "0") + "\n";
        }
        // Written beside the file and moved over it, so that a reader never sees half a state.
        const std::string temporary = statePath + ".tmp";
        std::FILE* out = std::fopen(temporary.c_str(), "wb");
        if (out == nullptr) {
            return;
        }
        const bool written = std::fwrite(text.data(), 1, text.size(), out) == text.size();
        if (std::fclose(out) == 0 && written) {
            MoveFileExA(temporary.c_str(), statePath.c_str(), MOVEFILE_REPLACE_EXISTING);
        }
    }
};

std::string Environment(const char* name) {
    const char* value = std::getenv(name);
    return value != nullptr ? value : "";
}

// Keeps this library loaded until the process ends, whatever FreeLibrary calls follow.
void Pin() {
    HMODULE self = nullptr;
    GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_PIN,
                       reinterpret_cast<LPCSTR>(&Pin), &self);
}

Emulation& TheEmulation() {
    // Never destroyed: at process exit the manager's thread is gone already, and joining it
    // from the loader's detach call could hang.
    static Emulation* emulation = [] {
        Pin();
        auto* e = new Emulation;
        e->statePath = Environment("QUIVER_ASPI_STATE");
        const std::string path = Environment("QUIVER_ASPI_MACHINE");
        try {
            if (path.empty()) {
                throw std::runtime_error("QUIVER_ASPI_MACHINE is not set");
            }
            e->desc = quiver::simapp::LoadMachineFile(path, e->machine);
            if (!e->desc.clock.scaled) {
                e->machine.clock.SetScaled(1.0);
            }
            e->manager = std::make_unique<sim::AspiManager>(e->machine.clock, [e](void* event) {
                e->WriteState();
                ::SetEvent(static_cast<HANDLE>(event));
            });
            e->manager->config() = e->machine.aspi().config();
        } catch (const std::exception& failure) {
            e->error = failure.what();
            std::fprintf(stderr, "wnaspi32: %s\n", e->error.c_str());
        }
        e->WriteState();
        return e;
    }();
    return *emulation;
}

}  // namespace

extern "C" {

__declspec(dllexport) DWORD __cdecl GetASPI32SupportInfo() {
    Emulation& e = TheEmulation();
    if (!e.manager) {
        return static_cast<DWORD>(sim::srb::kNoAspi) << 8;
    }
    return e.manager->GetSupportInfo();
}

__declspec(dllexport) DWORD __cdecl SendASPI32Command(void* srb) {
    Emulation& e = TheEmulation();
    if (srb == nullptr) {
        return sim::srb::kInvalidSrb;
    }
    if (!e.manager) {
        sim::srb::StoreSrbStatus(srb, sim::srb::kNoAspi);
        return sim::srb::kNoAspi;
    }
    const bool exec = static_cast<const sim::srb::Header*>(srb)->SRB_Cmd == sim::srb::kExecScsiCmd;
    const DWORD status = e.manager->SendCommand(srb);
    // A request completed on the manager's thread writes the state there, before its event.
    if (exec && status != sim::srb::kPending) {
        e.WriteState();
    }
    return status;
}

}  // extern "C"
