// Building the emulated machine from a MachineSpec, loading a machine file into it, and the
// built-in demo machine.
#include "simapp/machine_file.h"

#include <stdexcept>

namespace quiver::simapp {

using nlohmann::json;
void BuildMachine(const MachineSpec& desc, sim::Machine& machine) {
    if (machine.DriveCount() != 0 || !machine.letters.empty()) {
        throw std::invalid_argument("BuildMachine: the machine already has drives or letters");
    }
    if (desc.clock.scaled) {
        machine.clock.SetScaled(desc.clock.factor);
    } else {
        machine.clock.SetVirtual(kVirtualCounterTickNanos);
    }
    machine.os = desc.os;
    for (const DriveSpec& d : desc.drives) {
        sim::Drive& drive = machine.AddDrive(d.config);
        for (const sim::Fault& f : d.faults) {
            drive.AddFault(f);
        }
    }
    for (const sim::Letter& l : desc.letters) {
        sim::Letter& added = machine.AddLetter(l.letter, l.type, l.drive);
        added = l;
    }
    sim::AspiConfig& aspi = machine.aspi().config();
    aspi.installed = desc.aspi.installed;
    aspi.hasSupportInfoEntry = desc.aspi.hasSupportInfoEntry;
    aspi.hasSendCommandEntry = desc.aspi.hasSendCommandEntry;
    aspi.supportStatus = desc.aspi.supportStatus;
    aspi.asynchronous = desc.aspi.asynchronous;
    aspi.checkConditionStatus = desc.aspi.checkConditionStatus;
    aspi.adapters.clear();
    for (const AspiAdapterSpec& ha : desc.aspi.adapters) {
        sim::AspiAdapter adapter;
        adapter.identifier = ha.identifier;
        adapter.scsiId = ha.scsiId;
        for (const AspiDeviceSpec& d : ha.devices) {
            sim::AspiDevice device;
            device.target = d.target;
            device.lun = d.lun;
            device.deviceType = d.type;
            device.drive =
                d.drive < 0 ? nullptr : &machine.drive(static_cast<std::size_t>(d.drive));
            adapter.devices.push_back(device);
        }
        aspi.adapters.push_back(adapter);
    }
}

MachineSpec LoadMachine(const json& j, sim::Machine& machine) {
    MachineSpec desc = ParseMachine(j);
    BuildMachine(desc, machine);
    return desc;
}

MachineSpec LoadMachineFile(const std::string& path, sim::Machine& machine) {
    MachineSpec desc = ReadMachineFile(path);
    BuildMachine(desc, machine);
    return desc;
}

const char* DemoMachineJson() {
    return R"json({
  "description": "The built-in demo PC: Windows NT, a KMR-730T at QM01 on E:, another maker's DVD-ROM drive on F:, no ASPI manager.",
  "os": {"family": "nt"},
  "clock": {"mode": "virtual"},
  "drives": [
    {"name": "E", "model": "KMR-730T", "revision": "QM01"},
    {"name": "F", "model": "other", "vendor": "ORBITECH", "product": "DVD-ROM OD-1650 ",
     "revision": "1.02", "vendorSpecific": "2003/11/20 OT", "serialNumber": "OT1650A00417"}
  ],
  "letters": [
    {"letter": "C", "type": "fixed"},
    {"letter": "E", "drive": "E", "address": {"port": 1, "target": 0}},
    {"letter": "F", "drive": "F", "address": {"port": 1, "target": 1}}
  ],
  "aspi": {"installed": false}
}
)json";
}

}  // namespace quiver::simapp
