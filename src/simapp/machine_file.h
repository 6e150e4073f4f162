// Machine files: an emulated PC described in JSON (docs/quiver-sim.md lists every key). A file
// is read into a MachineSpec, which says everything about the machine with the defaults filled
// in; BuildMachine then sets up a sim::Machine from it. Every error names the JSON path of the
// field at fault ("drives[1].flashId: expected 4 bytes"), and a key the format does not know is
// an error too, so that a misspelt key cannot pass unnoticed.
#pragma once

#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include <nlohmann/json_fwd.hpp>

#include "sim/machine.h"

namespace quiver::simapp {

// A machine file that cannot be used. what() is "PATH: problem", prefixed with the file name
// for files.
class MachineFileError : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

struct DriveSpec {
    std::string name;  // how the transcript names the drive; unique within the machine
    sim::DriveConfig config;
    std::vector<sim::Fault> faults;
};

struct AspiDeviceSpec {
    std::uint8_t target = 0;
    std::uint8_t lun = 0;
    std::uint8_t type = 5;
    int drive = -1;  // index into MachineSpec::drives; -1 answers only the type query
};

struct AspiAdapterSpec {
    std::string identifier = "EMULATED HA";
    std::uint8_t scsiId = 7;
    std::vector<AspiDeviceSpec> devices;
};

struct AspiSpec {
    bool installed = false;
    bool hasSupportInfoEntry = true;
    bool hasSendCommandEntry = true;
    std::uint8_t supportStatus = 0x01;  // SS_COMP
    bool asynchronous = true;
    std::uint8_t checkConditionStatus = 0x04;  // SS_ERR
    std::vector<AspiAdapterSpec> adapters;
};

struct ClockSpec {
    bool scaled = false;  // virtual otherwise
    double factor = 1.0;  // emulated seconds per real second, when scaled
};

// On a machine's virtual clock every counter read moves time on by this much: a millisecond,
// so that a one-second spin on the counter is a thousand passes, not a hundred thousand.
constexpr std::int64_t kVirtualCounterTickNanos = 1'000'000;

struct MachineSpec {
    std::string description;
    sim::OsConfig os;
    ClockSpec clock;
    std::vector<DriveSpec> drives;
    std::vector<sim::Letter> letters;  // Letter::drive indexes `drives`
    AspiSpec aspi;
};

// Reads a machine description. Throws MachineFileError.
MachineSpec ParseMachine(const nlohmann::json& json);
// The same from JSON text; a key given twice in one object, and objects or arrays nested more
// than 64 deep, are errors as well.
MachineSpec ParseMachineText(const std::string& text);
// Reads a machine file; errors carry the file name in front.
MachineSpec ReadMachineFile(const std::string& path);

// The description with every key written out, defaults included. ParseMachine gives back the
// same description.
nlohmann::json MachineToJson(const MachineSpec& desc);

// Sets up `machine` as described: clock, OS, drives with their faults, letters, ASPI manager.
// The machine must be new (no drives, no letters); throws std::invalid_argument otherwise.
void BuildMachine(const MachineSpec& desc, sim::Machine& machine);

// ParseMachine or ReadMachineFile, then BuildMachine. Returns the description (the drive names,
// for the transcript). A description that fails leaves the machine untouched.
MachineSpec LoadMachine(const nlohmann::json& json, sim::Machine& machine);
MachineSpec LoadMachineFile(const std::string& path, sim::Machine& machine);

// The built-in demo PC: Windows NT, C: fixed, E: a KMR-730T at QM01 (1-0-0-0), F: another
// maker's DVD-ROM drive (1-0-1-0), no ASPI manager, virtual clock.
const char* DemoMachineJson();

}  // namespace quiver::simapp
