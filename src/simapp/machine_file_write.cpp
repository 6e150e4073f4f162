// Writing a MachineSpec as a machine file's JSON, in the form the reading takes back.
#include <cctype>
#include <cstdio>
#include <string>

#include <nlohmann/json.hpp>

#include "simapp/machine_file.h"
#include "simapp/machine_file_names.h"

namespace quiver::simapp {

namespace {

using nlohmann::json;
using namespace machine_file_names;
// ---- writing -------------------------------------------------------------------------------

std::string SenseText(const sim::Sense& s) {
    char text[16];
    std::snprintf(text, sizeof text, "%X/%02X/%02X", s.key & 0x0F, s.asc, s.ascq);
    return text;
}

// An INQUIRY text as the file writes it: text when it is printable, else its bytes.
json TextOrBytes(const std::string& text) {
    const bool printable = std::all_of(text.begin(), text.end(), [](char c) {
        return static_cast<unsigned char>(c) >= 0x20 && static_cast<unsigned char>(c) <= 0x7E;
    });
    if (printable) {
        return text;
    }
    json bytes = json::array();
    for (char c : text) {
        bytes.push_back(static_cast<unsigned char>(c));
    }
    return bytes;
}

std::string HexBytes(const std::vector<std::uint8_t>& bytes) {
    std::string text;
    char hex[4];
    for (std::uint8_t b : bytes) {
        std::snprintf(hex, sizeof hex, text.empty() ? "%02X" : " %02X", b);
        text += hex;
    }
    return text;
}

std::string FlashIdText(const std::array<std::uint8_t, 4>& id) {
    char text[16];
    std::snprintf(text, sizeof text, "%02X %02X %02X %02X", id[0], id[1], id[2], id[3]);
    return text;
}

json DriveToJson(const sim::DriveConfig& c, const std::vector<sim::Fault>& faults);

json FaultToJson(const sim::Fault& f) {
    json j;
    j["kind"] = NameOf(kFaultKinds, f.kind);
    if (f.kind != FaultKind::ReadBackDiffers) {
        if (f.opcode < 0) {
            j["opcode"] = "any";
        } else {
            char text[8];
            std::snprintf(text, sizeof text, "0x%02X", f.opcode & 0xFF);
            j["opcode"] = text;
        }
    }
    j["first"] = f.first;
    if (f.kind != FaultKind::Replaced) {
        j["count"] = f.count;
    }
    switch (f.kind) {
        case FaultKind::SenseData:
            if (f.senseBytes.empty()) {
                j["sense"] = SenseText(f.sense);
            } else if (f.senseBytes.size() == 1) {
                j["sense"] = f.senseBytes;  // one hex word would read as KEY/ASC/ASCQ
            } else {
                j["sense"] = HexBytes(f.senseBytes);
            }
            break;
        case FaultKind::Delay:
            j["seconds"] = f.seconds;
            break;
        case FaultKind::ReadBackDiffers:
            j["block"] = f.block;
            j["attempt"] = f.attempt;
            j["byte"] = f.byte;
            break;
        case FaultKind::ShortTransfer:
            j["bytes"] = f.bytes;
            j["reportsAll"] = f.reportsAll;
            break;
        case FaultKind::Replaced:
            j["by"] = f.by != nullptr ? DriveToJson(f.by->config, f.by->faults) : json::object();
            break;
        default:
            break;
    }
    return j;
}

json DriveToJson(const sim::DriveConfig& c, const std::vector<sim::Fault>& faults) {
    json drive = {
        {"model", c.model == sim::DriveModel::Kmr730t ? "KMR-730T" : "other"},
        {"vendor", TextOrBytes(c.vendor)},
        {"product", TextOrBytes(c.product)},
        {"revision", TextOrBytes(c.revision)},
        {"vendorSpecific", TextOrBytes(c.vendorSpecific)},
        {"serialNumber", TextOrBytes(c.serialNumber)},
        {"revisionAfterProgram", TextOrBytes(c.revisionAfterProgram)},
        {"inquiryLength", c.inquiryLength},
        {"flashId", FlashIdText(c.flashId)},
        {"otherFlashIdReply",
         c.otherFlashIdReply == sim::FlashIdReply::Zeros ? "zeros" : "invalid-opcode"},
        {"medium", c.mediumPresent},
        {"trayOpen", c.trayOpen},
        {"locked", c.lockedByOtherProgram},
        {"timings",
         {{"powerOnReadySeconds", c.powerOnReadySeconds},
          {"loadReadySeconds", c.loadReadySeconds},
          {"programSeconds", c.programSeconds},
          {"resetReadySeconds", c.resetReadySeconds}}},
        {"bus", {{"secondsPerCommand", c.secondsPerCommand}, {"bytesPerSecond", c.bytesPerSecond}}},
        {"bufferBytes", c.bufferBytes},
        {"faults", json::array()},
    };
    for (const sim::Fault& f : faults) {
        drive["faults"].push_back(FaultToJson(f));
    }
    return drive;
}

json DriveRef(const MachineSpec& desc, int index) {
    if (index < 0 || static_cast<std::size_t>(index) >= desc.drives.size()) {
        return nullptr;
    }
    return desc.drives[static_cast<std::size_t>(index)].name;
}

}  // namespace

json MachineToJson(const MachineSpec& desc) {
    json j = json::object();
    if (!desc.description.empty()) {
        j["description"] = desc.description;
    }
    const sim::OsConfig& os = desc.os;
    j["os"] = {
        {"family", os.ntFamily ? "nt" : "win95"},
        {"versionQueryFails", os.versionQueryFails},
        {"tokenOpenFails", os.tokenOpenFails},
        {"lacksShutdownPrivilege", os.lacksShutdownPrivilege},
        {"restartRefused", os.restartRefused},
        {"heapFails", os.heapFails},
        {"heapBytes", os.heapBytes},
        {"hasPerformanceCounter", os.hasPerformanceCounter},
        {"eventCreateFails", os.eventCreateFails},
        {"staleEventSignals", os.staleEventSignals},
    };
    if (!os.heldMutexes.empty()) {
        j["os"]["heldMutexes"] = os.heldMutexes;
    }
    j["clock"] = {{"mode", desc.clock.scaled ? "scaled" : "virtual"}};
    if (desc.clock.scaled) {
        j["clock"]["factor"] = desc.clock.factor;
    }
    j["drives"] = json::array();
    for (const DriveSpec& d : desc.drives) {
        json drive = DriveToJson(d.config, d.faults);
        drive["name"] = d.name;
        j["drives"].push_back(drive);
    }
    j["letters"] = json::array();
    for (const sim::Letter& l : desc.letters) {
        json letter = {{"letter", std::string(1, l.letter)},
                       {"type", NameOf(kLetterTypes, l.type)}};
        if (l.type == sim::LetterType::CdRom) {
            if (l.drive >= 0) {
                letter["drive"] = DriveRef(desc, l.drive);
            }
            switch (l.addressReply) {
                case sim::AddressReply::Address:
                    letter["address"] = {
                        {"port", l.port}, {"path", l.path}, {"target", l.target}, {"lun", l.lun}};
                    break;
                case sim::AddressReply::Fails:
                    letter["address"] = "fails";
                    break;
                case sim::AddressReply::ZeroLength:
                    letter["address"] = "zero-length";
                    break;
            }
            letter["openFails"] = l.openFails;
        }
        j["letters"].push_back(letter);
    }
    const AspiSpec& a = desc.aspi;
    json entries = json::array();
    if (a.hasSupportInfoEntry) {
        entries.push_back(kSupportInfoEntry);
    }
    if (a.hasSendCommandEntry) {
        entries.push_back(kSendCommandEntry);
    }
    const auto statusJson = [](std::uint8_t status) {
        const char* name = NameOf(kAspiStatuses, status);
        return name != nullptr ? json(name) : json(status);
    };
    j["aspi"] = {
        {"installed", a.installed},
        {"entries", entries},
        {"supportStatus", statusJson(a.supportStatus)},
        {"asynchronous", a.asynchronous},
        {"checkConditionStatus", statusJson(a.checkConditionStatus)},
        {"adapters", json::array()},
    };
    for (const AspiAdapterSpec& ha : a.adapters) {
        json adapter = {{"identifier", TextOrBytes(ha.identifier)},
                        {"scsiId", ha.scsiId},
                        {"devices", json::array()}};
        for (const AspiDeviceSpec& d : ha.devices) {
            adapter["devices"].push_back({{"target", d.target},
                                          {"lun", d.lun},
                                          {"type", d.type},
                                          {"drive", DriveRef(desc, d.drive)}});
        }
        j["aspi"]["adapters"].push_back(adapter);
    }
    return j;
}

}  // namespace quiver::simapp
