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
//                        after a first line "machine ok" or "machine error: ...", and then
//                        each drive's last commands, indented.
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
#include <set>
#include <stdexcept>
#include <string>

#include "sim/aspi.h"
#include "sim/aspi_srb.h"
#include "sim/machine.h"
#include "simapp/machine_file.h"

namespace {

constexpr std::size_t kLoggedCommands = 24;

struct Emulation {
    sim::Machine machine;
    quiver::simapp::MachineSpec desc;
    std::unique_ptr<sim::AspiManager> manager;
    std::string error;  // empty when the machine file was read
    std::string statePath;
    std::mutex stateMutex;

    // The event of a request is signalled through a handle of our own (Adopt): the manager
    // signals after it has stored the status, and a caller that found the request complete
    // when SendASPI32Command returned may have closed its handle by then, and the system may
    // have handed the same handle value to the caller's next event.
    HANDLE Adopt(HANDLE event) {
        HANDLE own = nullptr;
        if (!DuplicateHandle(GetCurrentProcess(), event, GetCurrentProcess(), &own, 0, FALSE,
                             DUPLICATE_SAME_ACCESS)) {
            return nullptr;
        }
        std::lock_guard<std::mutex> lock(eventMutex);
        adopted.insert(own);
        return own;
    }
    // Signals and releases an adopted handle; false when it was not (or no longer) ours.
    bool Signal(HANDLE own) {
        {
            std::lock_guard<std::mutex> lock(eventMutex);
            if (adopted.erase(own) == 0) {
                return false;
            }
        }
        ::SetEvent(own);
        ::CloseHandle(own);
        return true;
    }
    // Releases an adopted handle that no completion will signal.
    void Release(HANDLE own) {
        std::lock_guard<std::mutex> lock(eventMutex);
        if (adopted.erase(own) != 0) {
            ::CloseHandle(own);
        }
    }

    std::mutex eventMutex;
    std::set<HANDLE> adopted;

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
        // The drives' last commands, for the story of a failure.
        for (std::size_t i = 0; error.empty() && i < machine.DriveCount(); ++i) {
            const std::vector<sim::LoggedCommand> log = machine.drive(i).Log();
            const std::size_t first =
                log.size() > kLoggedCommands ? log.size() - kLoggedCommands : 0;
            for (std::size_t k = first; k < log.size(); ++k) {
                char sense[32];
                std::snprintf(sense, sizeof sense, "%X/%02X/%02X", log[k].sense.key,
                              log[k].sense.asc, log[k].sense.ascq);
                text += "  " + desc.drives[i].name + ": " + log[k].CdbHex() + " -> " +
                        (log[k].completion == sim::Completion::Good ? std::string("good")
                         : log[k].completion == sim::Completion::CheckCondition
                             ? std::string(sense)
                             : std::string("transport failure")) +
                        "\n";
            }
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
                e->Signal(static_cast<HANDLE>(event));
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
    HANDLE own = nullptr;
    auto* request = static_cast<sim::srb::ExecSCSICmd*>(srb);
    if (exec && (request->SRB_Flags & sim::srb::kEventNotify) != 0 &&
        request->SRB_PostProc != nullptr) {
        own = e.Adopt(static_cast<HANDLE>(request->SRB_PostProc));
        if (own != nullptr) {
            request->SRB_PostProc = own;
        }
    }
    const DWORD status = e.manager->SendCommand(srb);
    if (own != nullptr && status != sim::srb::kPending) {
        // Refused at once, without a completion that would signal it.
        e.Release(own);
    }
    // A request completed on the manager's thread writes the state there, before its event.
    if (exec && status != sim::srb::kPending) {
        e.WriteState();
    }
    return status;
}

}  // extern "C"
