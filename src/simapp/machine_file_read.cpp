// Reading a machine file: its sections checked as they are read, with the path of every
// problem, into a MachineSpec.
#include <algorithm>
#include <cctype>
#include <cstdio>
#include <fstream>
#include <initializer_list>
#include <limits>
#include <map>
#include <memory>
#include <set>
#include <sstream>
#include <stdexcept>
#include <utility>

#include "formats/firmware_image.h"
#include "json/json_file.h"
#include "simapp/machine_file.h"
#include "simapp/machine_file_names.h"
#include "simapp/machine_file_values.h"

namespace quiver::simapp {

namespace {

using namespace machine_file_names;
using nlohmann::json;

using jsonfile::AsBool;
using jsonfile::AsChoice;
using jsonfile::AsInteger;
using jsonfile::AsString;
using jsonfile::Element;
using jsonfile::Fail;
using jsonfile::Kind;
using jsonfile::Member;
using jsonfile::Quoted;

using namespace machine_file_values;

// ---- sections ------------------------------------------------------------------------------

sim::OsConfig ParseOs(const Object& o) {
    o.Allow({"family", "versionQueryFails", "tokenOpenFails", "lacksShutdownPrivilege",
             "restartRefused", "heapFails", "heapBytes", "hasPerformanceCounter",
             "eventCreateFails", "staleEventSignals", "heldMutexes"});
    sim::OsConfig os;
    os.ntFamily = o.Choice<bool>("family", true, {{"nt", true}, {"win95", false}});
    os.versionQueryFails = o.Bool("versionQueryFails", os.versionQueryFails);
    os.tokenOpenFails = o.Bool("tokenOpenFails", os.tokenOpenFails);
    os.lacksShutdownPrivilege = o.Bool("lacksShutdownPrivilege", os.lacksShutdownPrivilege);
    os.restartRefused = o.Bool("restartRefused", os.restartRefused);
    os.heapFails = o.Bool("heapFails", os.heapFails);
    os.heapBytes = static_cast<std::size_t>(o.Integer("heapBytes", 0, 0, 1LL << 40));
    os.hasPerformanceCounter = o.Bool("hasPerformanceCounter", os.hasPerformanceCounter);
    os.eventCreateFails = o.Bool("eventCreateFails", os.eventCreateFails);
    os.staleEventSignals = o.Bool("staleEventSignals", os.staleEventSignals);
    const json& held = o.Array("heldMutexes");
    for (std::size_t i = 0; i < held.size(); ++i) {
        os.heldMutexes.push_back(AsString(held[i], Element(o.At("heldMutexes"), i)));
    }
    return os;
}

ClockSpec ParseClock(const Object& o) {
    o.Allow({"mode", "factor"});
    ClockSpec clock;
    clock.scaled = o.Choice<bool>("mode", false, {{"virtual", false}, {"scaled", true}});
    if (!clock.scaled && o.Has("factor")) {
        Fail(o.At("factor"), "only with mode \"scaled\"");
    }
    clock.factor = o.Real("factor", 1.0, 1e-3, 1e6);
    return clock;
}

DriveSpec ParseDrive(const Object& o, bool replacing = false);

sim::Fault ParseFault(const Object& o) {
    const json* kindValue = o.Find("kind");
    if (kindValue == nullptr) {
        Fail(o.At("kind"), "required");
    }
    sim::Fault f;
    f.kind = AsChoice<FaultKind>(*kindValue, o.At("kind"),
                                 {kFaultKinds[0], kFaultKinds[1], kFaultKinds[2], kFaultKinds[3],
                                  kFaultKinds[4], kFaultKinds[5], kFaultKinds[6]});
    switch (f.kind) {
        case FaultKind::TransportFailure:
        case FaultKind::Vanish:
            o.Allow({"kind", "opcode", "first", "count"});
            break;
        case FaultKind::SenseData:
            o.Allow({"kind", "opcode", "first", "count", "sense"});
            break;
        case FaultKind::Delay:
            o.Allow({"kind", "opcode", "first", "count", "seconds"});
            break;
        case FaultKind::ReadBackDiffers:
            o.Allow({"kind", "first", "count", "block", "attempt", "byte"});
            break;
        case FaultKind::ShortTransfer:
            o.Allow({"kind", "opcode", "first", "count", "bytes", "reportsAll"});
            break;
        case FaultKind::Replaced:
            o.Allow({"kind", "opcode", "first", "by"});
            break;
    }
    if (const json* opcode = o.Find("opcode")) {
        f.opcode = AsOpcode(*opcode, o.At("opcode"));
    }
    f.first = o.Uint32("first", 1, 1);
    f.count = o.Uint32("count", 1, 0);
    if (f.kind == FaultKind::SenseData) {
        const json* sense = o.Find("sense");
        if (sense == nullptr) {
            Fail(o.At("sense"), "required for a sense fault");
        }
        // "KEY/ASC/ASCQ", or the sense bytes the drive sends as they are: hex words or an
        // array of numbers.
        const bool bytes = sense->is_array() ||
                           (sense->is_string() &&
                            sense->get<std::string>().find_first_of(" \t") != std::string::npos);
        if (bytes) {
            f.senseBytes = AsByteList(*sense, o.At("sense"), 1, sim::SenseData::kMaxBytes,
                                      "70 00 86 00 00 00 00 0A 00 00 00 00 29 00");
            f.sense = sim::SenseData::Raw(f.senseBytes.data(), f.senseBytes.size()).Decoded();
        } else {
            f.sense = AsSense(*sense, o.At("sense"));
        }
    }
    if (f.kind == FaultKind::Delay) {
        if (!o.Has("seconds")) {
            Fail(o.At("seconds"), "required for a delay fault");
        }
        f.seconds = o.Real("seconds", 0.0, 0.0, 1e7);
    }
    if (f.kind == FaultKind::ReadBackDiffers) {
        f.block = o.Uint32("block", 0, 0);
        f.attempt = o.Uint32("attempt", 1, 0);
        f.byte = static_cast<std::uint32_t>(o.Integer("byte", 0, 0, sim::kImageBlock - 1));
    }
    if (f.kind == FaultKind::ShortTransfer) {
        if (!o.Has("bytes")) {
            Fail(o.At("bytes"), "required for a short-transfer fault");
        }
        f.bytes = o.Uint32("bytes", 0, 0);
        f.reportsAll = o.Bool("reportsAll", false);
    }
    if (f.kind == FaultKind::Replaced) {
        const json* by = o.Find("by");
        if (by == nullptr) {
            Fail(o.At("by"), "required for a replaced fault");
        }
        DriveSpec other = ParseDrive(Object(*by, o.At("by")), true);
        f.by = std::make_shared<const sim::Replacement>(
            sim::Replacement{std::move(other.config), std::move(other.faults)});
    }
    return f;
}

// A drive of "drives", or with `replacing` the drive of a replaced fault, which has no name of
// its own: it answers under the name of the drive it replaces.
DriveSpec ParseDrive(const Object& o, bool replacing) {
    o.Allow({"name", "model", "vendor", "product", "revision", "vendorSpecific", "serialNumber",
             "revisionAfterProgram", "inquiryLength", "flashId", "otherFlashIdReply", "medium",
             "trayOpen", "locked", "timings", "bus", "bufferBytes", "faults"});
    if (replacing && o.Has("name")) {
        Fail(o.At("name"), "the drive answers under the name of the drive it replaces");
    }
    DriveSpec d;
    sim::DriveConfig& c = d.config;
    d.name = o.String("name", "");
    if (o.Has("name") && d.name.empty()) {
        Fail(o.At("name"), "must not be empty");
    }
    c.model = o.Choice<sim::DriveModel>(
        "model", c.model,
        {{"KMR-730T", sim::DriveModel::Kmr730t}, {"other", sim::DriveModel::Other}});
    c.vendor = o.InquiryText("vendor", c.vendor, 8);
    c.product = o.InquiryText("product", c.product, 16);
    c.revision = o.InquiryText("revision", c.revision, 4);
    c.vendorSpecific = o.InquiryText("vendorSpecific", c.vendorSpecific, 16);
    c.serialNumber = o.InquiryText("serialNumber", c.serialNumber, 251);
    c.revisionAfterProgram = o.InquiryText("revisionAfterProgram", c.revisionAfterProgram, 4);
    c.inquiryLength =
        static_cast<std::uint32_t>(o.Integer("inquiryLength", c.inquiryLength, 0, 96));
    if (const json* id = o.Find("flashId")) {
        c.flashId = AsFlashId(*id, o.At("flashId"));
    }
    c.otherFlashIdReply =
        o.Choice<sim::FlashIdReply>("otherFlashIdReply", c.otherFlashIdReply,
                                    {{"invalid-opcode", sim::FlashIdReply::InvalidOpcode},
                                     {"zeros", sim::FlashIdReply::Zeros}});
    c.mediumPresent = o.Bool("medium", c.mediumPresent);
    c.trayOpen = o.Bool("trayOpen", c.trayOpen);
    c.lockedByOtherProgram = o.Bool("locked", c.lockedByOtherProgram);
    if (const json* t = o.Find("timings")) {
        const Object timings(*t, o.At("timings"));
        timings.Allow(
            {"powerOnReadySeconds", "loadReadySeconds", "programSeconds", "resetReadySeconds"});
        c.powerOnReadySeconds = timings.Real("powerOnReadySeconds", c.powerOnReadySeconds, 0, 1e6);
        c.loadReadySeconds = timings.Real("loadReadySeconds", c.loadReadySeconds, 0, 1e6);
        c.programSeconds = timings.Real("programSeconds", c.programSeconds, 0, 1e6);
        c.resetReadySeconds = timings.Real("resetReadySeconds", c.resetReadySeconds, 0, 1e6);
    }
    if (const json* b = o.Find("bus")) {
        const Object bus(*b, o.At("bus"));
        bus.Allow({"secondsPerCommand", "bytesPerSecond"});
        c.secondsPerCommand = bus.Real("secondsPerCommand", c.secondsPerCommand, 0, 1e6);
        c.bytesPerSecond = bus.Real("bytesPerSecond", c.bytesPerSecond, 0, 1e12);
    }
    // The buffer must hold at least one image block; WRITE BUFFER offsets have 24 bits.
    c.bufferBytes =
        static_cast<std::uint32_t>(o.Integer("bufferBytes", c.bufferBytes, 16384, 1 << 24));
    const json& faults = o.Array("faults");
    for (std::size_t i = 0; i < faults.size(); ++i) {
        d.faults.push_back(ParseFault(Object(faults[i], Element(o.At("faults"), i))));
    }
    return d;
}

// A drive named by its name or its index; `allowNone` admits null for "no drive".
int AsDriveRef(const json& j, const std::string& path, const std::vector<DriveSpec>& drives,
               bool allowNone) {
    if (allowNone && j.is_null()) {
        return -1;
    }
    if (j.is_number()) {
        if (drives.empty()) {
            Fail(path, "the machine has no drives");
        }
        return static_cast<int>(
            AsInteger(j, path, 0, static_cast<std::int64_t>(drives.size()) - 1));
    }
    if (!j.is_string()) {
        Fail(path, std::string("expected a drive's name or index") + (allowNone ? " or null" : "") +
                       ", found " + Kind(j));
    }
    const std::string name = j.get<std::string>();
    for (std::size_t i = 0; i < drives.size(); ++i) {
        if (drives[i].name == name) {
            return static_cast<int>(i);
        }
    }
    Fail(path, "no drive is named " + Quoted(name));
}

sim::Letter ParseLetter(const Object& o, const std::vector<DriveSpec>& drives) {
    o.Allow({"letter", "type", "drive", "address", "openFails"});
    sim::Letter l;
    const json* letter = o.Find("letter");
    if (letter == nullptr) {
        Fail(o.At("letter"), "required");
    }
    const std::string text = AsString(*letter, o.At("letter"));
    if (text.size() != 1 || !std::isalpha(static_cast<unsigned char>(text[0]))) {
        Fail(o.At("letter"), "expected one letter from A to Z");
    }
    l.letter = static_cast<char>(std::toupper(static_cast<unsigned char>(text[0])));
    l.type = o.Choice<sim::LetterType>(
        "type", o.Has("drive") ? sim::LetterType::CdRom : sim::LetterType::Fixed,
        {kLetterTypes[0], kLetterTypes[1], kLetterTypes[2], kLetterTypes[3]});
    if (l.type != sim::LetterType::CdRom) {
        for (const char* key : {"drive", "address", "openFails"}) {
            if (o.Has(key)) {
                Fail(o.At(key), "only for a letter of type \"cdrom\"");
            }
        }
        return l;
    }
    if (const json* drive = o.Find("drive")) {
        l.drive = AsDriveRef(*drive, o.At("drive"), drives, false);
    }
    l.openFails = o.Bool("openFails", false);
    // Without an address, every drive has one of its own: target its index.
    if (l.drive >= 0) {
        l.target = static_cast<std::uint8_t>(l.drive);
    }
    if (const json* address = o.Find("address")) {
        if (address->is_string()) {
            l.addressReply =
                AsChoice<sim::AddressReply>(*address, o.At("address"),
                                            {{"fails", sim::AddressReply::Fails},
                                             {"zero-length", sim::AddressReply::ZeroLength}});
        } else {
            const Object a(*address, o.At("address"));
            a.Allow({"port", "path", "target", "lun"});
            l.port = a.Byte("port", 0);
            l.path = a.Byte("path", 0);
            l.target = a.Byte("target", 0);
            l.lun = a.Byte("lun", 0);
        }
    }
    return l;
}

// Without a "letters" list: C: fixed, and a CD-ROM letter for every drive at port 1, target
// its index. A drive named by a single letter from D to Z gets that letter; the others get the
// free letters from D on.
std::vector<sim::Letter> DefaultLetters(const std::vector<DriveSpec>& drives) {
    std::vector<sim::Letter> letters;
    std::set<char> used{'C'};
    sim::Letter c;
    c.letter = 'C';
    c.type = sim::LetterType::Fixed;
    letters.push_back(c);
    std::vector<char> chosen(drives.size(), 0);
    for (std::size_t i = 0; i < drives.size(); ++i) {
        const std::string& name = drives[i].name;
        if (name.size() == 1 && name[0] >= 'D' && name[0] <= 'Z' && used.insert(name[0]).second) {
            chosen[i] = name[0];
        }
    }
    char next = 'D';
    for (std::size_t i = 0; i < drives.size(); ++i) {
        if (chosen[i] != 0) {
            continue;
        }
        while (next <= 'Z' && used.count(next) != 0) {
            ++next;
        }
        if (next > 'Z') {
            Fail("drives", "more drives than free drive letters; give \"letters\"");
        }
        chosen[i] = next;
        used.insert(next);
    }
    for (std::size_t i = 0; i < drives.size(); ++i) {
        sim::Letter l;
        l.letter = chosen[i];
        l.type = sim::LetterType::CdRom;
        l.drive = static_cast<int>(i);
        l.port = 1;
        l.target = static_cast<std::uint8_t>(i);
        letters.push_back(l);
    }
    std::sort(letters.begin(), letters.end(),
              [](const sim::Letter& a, const sim::Letter& b) { return a.letter < b.letter; });
    return letters;
}

// A status of the manager: its name, such as "SS_COMP", or its number.
std::uint8_t AspiStatus(const Object& o, const char* key, std::uint8_t fallback) {
    const json* status = o.Find(key);
    if (status == nullptr) {
        return fallback;
    }
    if (status->is_number()) {
        return static_cast<std::uint8_t>(AsInteger(*status, o.At(key), 0, 255));
    }
    const std::string name = status->is_string() ? status->get<std::string>() : "";
    for (const auto& entry : kAspiStatuses) {
        if (name == entry.first) {
            return entry.second;
        }
    }
    Fail(o.At(key), "expected a status name like \"SS_COMP\" or a number from 0 to 255");
}

AspiSpec ParseAspi(const Object& o, const std::vector<DriveSpec>& drives) {
    o.Allow({"installed", "entries", "supportStatus", "asynchronous", "checkConditionStatus",
             "adapters"});
    AspiSpec a;
    a.installed = o.Bool("installed", true);
    if (o.Has("entries")) {
        const json& entries = o.Array("entries");
        a.hasSupportInfoEntry = false;
        a.hasSendCommandEntry = false;
        for (std::size_t i = 0; i < entries.size(); ++i) {
            const bool support =
                AsChoice<bool>(entries[i], Element(o.At("entries"), i),
                               {{kSupportInfoEntry, true}, {kSendCommandEntry, false}});
            (support ? a.hasSupportInfoEntry : a.hasSendCommandEntry) = true;
        }
    }
    a.supportStatus = AspiStatus(o, "supportStatus", a.supportStatus);
    a.asynchronous = o.Bool("asynchronous", true);
    a.checkConditionStatus = AspiStatus(o, "checkConditionStatus", a.checkConditionStatus);
    if (!o.Has("adapters")) {
        // One adapter with every drive on it, at target its index.
        AspiAdapterSpec adapter;
        for (std::size_t i = 0; i < drives.size(); ++i) {
            AspiDeviceSpec device;
            device.target = static_cast<std::uint8_t>(i);
            device.drive = static_cast<int>(i);
            adapter.devices.push_back(device);
        }
        a.adapters.push_back(adapter);
        return a;
    }
    const json& adapters = o.Array("adapters");
    for (std::size_t i = 0; i < adapters.size(); ++i) {
        const Object ha(adapters[i], Element(o.At("adapters"), i));
        ha.Allow({"identifier", "scsiId", "devices"});
        AspiAdapterSpec adapter;
        adapter.identifier = ha.InquiryText("identifier", adapter.identifier, 16);
        adapter.scsiId = ha.Byte("scsiId", adapter.scsiId);
        const json& devices = ha.Array("devices");
        std::set<std::pair<int, int>> seen;
        for (std::size_t k = 0; k < devices.size(); ++k) {
            const Object d(devices[k], Element(ha.At("devices"), k));
            d.Allow({"target", "lun", "type", "drive"});
            AspiDeviceSpec device;
            device.target = d.Byte("target", 0);
            device.lun = d.Byte("lun", 0);
            device.type = static_cast<std::uint8_t>(d.Integer("type", 5, 0, 31));
            if (const json* drive = d.Find("drive")) {
                device.drive = AsDriveRef(*drive, d.At("drive"), drives, true);
            }
            if (!seen.insert({device.target, device.lun}).second) {
                Fail(d.path(), "target " + std::to_string(device.target) + " LUN " +
                                   std::to_string(device.lun) + " is given twice on this adapter");
            }
            adapter.devices.push_back(device);
        }
        a.adapters.push_back(adapter);
    }
    return a;
}

// A drive without a name takes the letter of the first CD-ROM letter that leads to it, else
// "drive" and its index.
void NameDrives(std::vector<DriveSpec>& drives, const std::vector<sim::Letter>& letters) {
    std::set<std::string> taken;
    for (const DriveSpec& d : drives) {
        if (!d.name.empty()) {
            taken.insert(d.name);
        }
    }
    for (std::size_t i = 0; i < drives.size(); ++i) {
        if (!drives[i].name.empty()) {
            continue;
        }
        std::string name;
        for (const sim::Letter& l : letters) {
            if (l.type == sim::LetterType::CdRom && l.drive == static_cast<int>(i)) {
                name = std::string(1, l.letter);
                break;
            }
        }
        if (name.empty() || taken.count(name) != 0) {
            name = "drive" + std::to_string(i);
        }
        while (taken.count(name) != 0) {
            name += "'";
        }
        taken.insert(name);
        drives[i].name = name;
    }
}

// Rejects two drives of one name and two letters of one letter.
void CheckUnique(const std::vector<DriveSpec>& drives, const std::vector<sim::Letter>& letters,
                 bool lettersGiven) {
    std::set<std::string> names;
    for (std::size_t i = 0; i < drives.size(); ++i) {
        if (!drives[i].name.empty() && !names.insert(drives[i].name).second) {
            Fail(Element("drives", i) + ".name", Quoted(drives[i].name) + " is given twice");
        }
    }
    std::set<char> seen;
    for (std::size_t i = 0; i < letters.size(); ++i) {
        if (!seen.insert(letters[i].letter).second) {
            Fail(lettersGiven ? Element("letters", i) + ".letter" : "letters",
                 std::string(1, letters[i].letter) + ": is given twice");
        }
    }
}

MachineSpec ReadMachine(const json& j) {
    const Object top(j, "");
    top.Allow({"description", "os", "clock", "drives", "letters", "aspi"});
    MachineSpec desc;
    desc.description = top.String("description", "");
    if (const json* os = top.Find("os")) {
        desc.os = ParseOs(Object(*os, "os"));
    }
    if (const json* clock = top.Find("clock")) {
        desc.clock = ParseClock(Object(*clock, "clock"));
    }
    const json& drives = top.Array("drives");
    for (std::size_t i = 0; i < drives.size(); ++i) {
        desc.drives.push_back(ParseDrive(Object(drives[i], Element("drives", i))));
    }
    CheckUnique(desc.drives, {}, false);
    const bool lettersGiven = top.Has("letters");
    if (lettersGiven) {
        const json& letters = top.Array("letters");
        for (std::size_t i = 0; i < letters.size(); ++i) {
            desc.letters.push_back(
                ParseLetter(Object(letters[i], Element("letters", i)), desc.drives));
        }
    } else {
        desc.letters = DefaultLetters(desc.drives);
    }
    CheckUnique(desc.drives, desc.letters, lettersGiven);
    if (const json* aspi = top.Find("aspi")) {
        desc.aspi = ParseAspi(Object(*aspi, "aspi"), desc.drives);
    }
    NameDrives(desc.drives, desc.letters);
    return desc;
}

// Runs a reading of the file; its problems become MachineFileErrors.
template <typename Read>
MachineSpec Checked(Read read) {
    try {
        return read();
    } catch (const jsonfile::Error& e) {
        throw MachineFileError(e.what());
    }
}

}  // namespace

MachineSpec ParseMachine(const json& j) {
    return Checked([&j] { return ReadMachine(j); });
}

MachineSpec ParseMachineText(const std::string& text) {
    return Checked([&text] { return ReadMachine(jsonfile::Parse(text)); });
}

MachineSpec ReadMachineFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        throw MachineFileError(path + ": cannot open the file");
    }
    std::ostringstream text;
    text << in.rdbuf();
    if (in.bad()) {
        throw MachineFileError(path + ": cannot read the file");
    }
    try {
        return ParseMachineText(text.str());
    } catch (const MachineFileError& e) {
        throw MachineFileError(path + ": " + e.what());
    }
}

}  // namespace quiver::simapp
