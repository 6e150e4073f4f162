#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>

#include <nlohmann/json.hpp>

#include "platform/sim/sim_platform.h"
#include "simapp/machine_file.h"

namespace quiver::simapp {
namespace {

using nlohmann::json;

std::string ErrorOf(const std::string& text) {
    try {
        ParseMachineText(text);
    } catch (const MachineFileError& e) {
        return e.what();
    }
    return "(no error)";
}

// INQUIRY through the pass-through of the emulated OS: vendor, product and revision.
std::string InquiryThroughOs(Platform& os, char letter) {
    const std::string path = std::string("\\\\.\\") + letter + ":";
    HANDLE device =
        os.CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE,
                       FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr);
    if (device == INVALID_HANDLE_VALUE) {
        return "(no device)";
    }
    std::uint8_t data[96] = {};
    SCSI_PASS_THROUGH_DIRECT_WITH_BUFFER request{};
    request.sptd.Length = sizeof(SCSI_PASS_THROUGH_DIRECT);
    request.sptd.CdbLength = 6;
    request.sptd.SenseInfoLength = 24;
    request.sptd.DataIn = SCSI_IOCTL_DATA_IN;
    request.sptd.DataTransferLength = sizeof data;
    request.sptd.TimeOutValue = 10;
    request.sptd.DataBuffer = data;
    request.sptd.SenseInfoOffset = offsetof(SCSI_PASS_THROUGH_DIRECT_WITH_BUFFER, ucSenseBuf);
    const std::uint8_t cdb[6] = {0x12, 0, 0, 0, sizeof data, 0};
    std::memcpy(request.sptd.Cdb, cdb, sizeof cdb);
    DWORD returned = 0;
    const BOOL ok =
        os.DeviceIoControl(device, IOCTL_SCSI_PASS_THROUGH_DIRECT, &request, sizeof request,
                           &request, sizeof request, &returned, nullptr);
    os.CloseHandle(device);
    if (!ok || request.sptd.ScsiStatus != 0) {
        return "(no answer)";
    }
    return std::string(reinterpret_cast<const char*>(&data[8]), 28);
}

TEST(MachineFile, OmittedKeysTakeTheirDefaults) {
    const MachineSpec desc = ParseMachineText(R"({"drives": [{"name": "E"}]})");
    EXPECT_TRUE(desc.os.ntFamily);
    EXPECT_TRUE(desc.os.hasPerformanceCounter);
    EXPECT_FALSE(desc.clock.scaled);
    EXPECT_FALSE(desc.aspi.installed);
    ASSERT_EQ(desc.drives.size(), 1u);
    const sim::DriveConfig& c = desc.drives[0].config;
    EXPECT_EQ(c.model, sim::DriveModel::Kmr730t);
    EXPECT_EQ(c.vendor, "Korvane ");
    EXPECT_EQ(c.product, "DVDRW KMR-730T  ");
    EXPECT_EQ(c.revision, "QM01");
    EXPECT_TRUE(desc.drives[0].faults.empty());
    // Without letters: C: fixed, and the drive on the letter it is named after, at 1-0-0-0.
    ASSERT_EQ(desc.letters.size(), 2u);
    EXPECT_EQ(desc.letters[0].letter, 'C');
    EXPECT_EQ(desc.letters[0].type, sim::LetterType::Fixed);
    EXPECT_EQ(desc.letters[1].letter, 'E');
    EXPECT_EQ(desc.letters[1].type, sim::LetterType::CdRom);
    EXPECT_EQ(desc.letters[1].drive, 0);
    EXPECT_EQ(desc.letters[1].port, 1);
    EXPECT_EQ(desc.letters[1].target, 0);

    // An empty file is a PC without optical drives.
    const MachineSpec empty = ParseMachineText("{}");
    EXPECT_TRUE(empty.drives.empty());
    ASSERT_EQ(empty.letters.size(), 1u);
    EXPECT_EQ(empty.letters[0].letter, 'C');

    // An ASPI section of its own puts every drive on one adapter, target its index.
    const MachineSpec aspi = ParseMachineText(R"({"drives": [{}, {}], "aspi": {}})");
    EXPECT_TRUE(aspi.aspi.installed);
    ASSERT_EQ(aspi.aspi.adapters.size(), 1u);
    ASSERT_EQ(aspi.aspi.adapters[0].devices.size(), 2u);
    EXPECT_EQ(aspi.aspi.adapters[0].devices[1].target, 1);
    EXPECT_EQ(aspi.aspi.adapters[0].devices[1].drive, 1);
}

TEST(MachineFile, DrivesWithoutLettersOrNamesGetFreeLettersAndNamesFromThem) {
    const MachineSpec desc =
        ParseMachineText(R"({"drives": [{"name": "burner"}, {"name": "D"}, {}, {"name": "G"}]})");
    // D and G keep their letters; the others take the free ones from D on: E, F.
    ASSERT_EQ(desc.letters.size(), 5u);
    std::string letters;
    for (const sim::Letter& l : desc.letters) {
        letters += l.letter;
        if (l.drive >= 0) {
            letters += std::to_string(l.drive);
        }
    }
    EXPECT_EQ(letters, "CD1E0F2G3");
    EXPECT_EQ(desc.drives[0].name, "burner");
    EXPECT_EQ(desc.drives[2].name, "F");

    // With letters given, an unnamed drive takes its letter, else "drive" and its index.
    const MachineSpec named =
        ParseMachineText(R"({"drives": [{}, {}], "letters": [{"letter": "x", "drive": 0}]})");
    EXPECT_EQ(named.letters[0].letter, 'X');
    EXPECT_EQ(named.drives[0].name, "X");
    EXPECT_EQ(named.drives[1].name, "drive1");
}

// Every key written out and read back gives the same description.
TEST(MachineFile, RoundTripsThroughJsonWithEveryKey) {
    const char* text = R"({
      "description": "all keys",
      "os": {"family": "win95", "versionQueryFails": true, "tokenOpenFails": true,
             "lacksShutdownPrivilege": true, "restartRefused": true, "heapFails": true,
             "heapBytes": 65536, "hasPerformanceCounter": false, "eventCreateFails": true,
             "heldMutexes": ["Global\\QuiverFirmwareUpdate", "other"]},
      "clock": {"mode": "scaled", "factor": 250.5},
      "drives": [
        {"name": "E", "model": "KMR-730T", "vendor": "Korvane", "product": "DVDRW KMR-730T",
         "revision": "QM02", "vendorSpecific": "x", "serialNumber": "S1",
         "revisionAfterProgram": "QM99",
         "flashId": "c2 b6 0 3", "medium": true, "trayOpen": true, "locked": true,
         "timings": {"powerOnReadySeconds": 1.5, "loadReadySeconds": 2.25,
                     "programSeconds": 7, "resetReadySeconds": 0.125},
         "bus": {"secondsPerCommand": 0.001, "bytesPerSecond": 16e6},
         "bufferBytes": 1048576,
         "faults": [
           {"kind": "transport-failure", "opcode": "0x3B", "first": 3, "count": 0},
           {"kind": "sense", "opcode": 18, "sense": "6/29/0"},
           {"kind": "delay", "seconds": 2.5},
           {"kind": "vanish", "opcode": "any", "first": 40},
           {"kind": "read-back-differs", "block": 63, "attempt": 0, "count": 2, "byte": 16383},
           {"kind": "short-transfer", "opcode": "0x3C", "bytes": 8192, "count": 0,
            "reportsAll": true},
           {"kind": "replaced", "opcode": "0x12", "first": 3,
            "by": {"revision": "QM10", "serialNumber": "",
                   "faults": [{"kind": "vanish", "first": 9}]}},
           {"kind": "sense", "sense": "71 00 86 00 00 00 00 0a 00 00 00 00 28 00"},
           {"kind": "sense", "sense": [112]}
         ]},
        {"name": "other", "model": "other", "otherFlashIdReply": "zeros", "flashId": [1, 2, 3, 4],
         "vendor": [0, 0, 0, 0, 0, 0, 0, 0], "product": [75, 1, 255], "inquiryLength": 35}
      ],
      "letters": [
        {"letter": "A", "type": "removable"},
        {"letter": "E", "drive": "E", "address": {"port": 2, "path": 1, "target": 3, "lun": 4}},
        {"letter": "F", "drive": 1, "address": "fails", "openFails": true},
        {"letter": "G", "type": "cdrom", "address": "zero-length"},
        {"letter": "Z", "type": "network"}
      ],
      "aspi": {"installed": true, "entries": ["SendASPI32Command"], "supportStatus": "SS_NO_ASPI",
               "asynchronous": false, "checkConditionStatus": "SS_COMP",
               "adapters": [{"identifier": "HA0", "scsiId": 6,
                             "devices": [{"target": 1, "lun": 0, "drive": "other"},
                                         {"target": 2, "type": 1, "drive": null}]},
                            {"devices": []}]}
    })";
    const MachineSpec desc = ParseMachineText(text);
    const json written = MachineToJson(desc);
    const MachineSpec again = ParseMachine(written);
    EXPECT_EQ(MachineToJson(again), written);

    // Spot checks that the values arrived where they belong.
    EXPECT_FALSE(again.os.ntFamily);
    EXPECT_TRUE(again.os.eventCreateFails);
    EXPECT_EQ(again.os.heapBytes, 65536u);
    EXPECT_EQ(again.os.heldMutexes,
              (std::vector<std::string>{"Global\\QuiverFirmwareUpdate", "other"}));
    EXPECT_TRUE(again.clock.scaled);
    EXPECT_DOUBLE_EQ(again.clock.factor, 250.5);
    const sim::DriveConfig& c = again.drives[0].config;
    EXPECT_EQ(c.flashId, (std::array<std::uint8_t, 4>{0xC2, 0xB6, 0x00, 0x03}));
    EXPECT_DOUBLE_EQ(c.resetReadySeconds, 0.125);
    EXPECT_DOUBLE_EQ(c.bytesPerSecond, 16e6);
    EXPECT_EQ(again.drives[1].config.otherFlashIdReply, sim::FlashIdReply::Zeros);
    EXPECT_EQ(again.drives[1].config.vendor, std::string(8, '\0'));
    EXPECT_EQ(again.drives[1].config.product, "K\x01\xFF");
    EXPECT_EQ(again.drives[1].config.inquiryLength, 35u);
    EXPECT_EQ(c.inquiryLength, 96u);
    const auto& faults = again.drives[0].faults;
    ASSERT_EQ(faults.size(), 9u);
    EXPECT_EQ(faults[0].opcode, 0x3B);
    EXPECT_EQ(faults[0].first, 3u);
    EXPECT_EQ(faults[0].count, 0u);
    EXPECT_EQ(faults[1].opcode, 0x12);
    EXPECT_EQ(faults[1].sense, (sim::Sense{6, 0x29, 0}));
    EXPECT_EQ(faults[3].opcode, -1);
    EXPECT_EQ(faults[4].kind, sim::Fault::Kind::ReadBackDiffers);
    EXPECT_EQ(faults[4].block, 63u);
    EXPECT_EQ(faults[4].attempt, 0u);
    EXPECT_EQ(faults[4].byte, 16383u);
    EXPECT_EQ(c.revisionAfterProgram, "QM99");
    EXPECT_EQ(faults[5].kind, sim::Fault::Kind::ShortTransfer);
    EXPECT_EQ(faults[5].bytes, 8192u);
    EXPECT_EQ(faults[5].count, 0u);
    EXPECT_TRUE(faults[5].reportsAll);
    ASSERT_EQ(faults[6].kind, sim::Fault::Kind::Replaced);
    ASSERT_NE(faults[6].by, nullptr);
    EXPECT_EQ(faults[6].first, 3u);
    EXPECT_EQ(faults[6].by->config.revision, "QM10");
    EXPECT_EQ(faults[6].by->config.serialNumber, "");
    EXPECT_EQ(faults[6].by->config.product, "DVDRW KMR-730T  ");  // the defaults of a drive
    ASSERT_EQ(faults[6].by->faults.size(), 1u);
    EXPECT_EQ(faults[6].by->faults[0].first, 9u);
    EXPECT_EQ(faults[7].senseBytes.size(), 14u);
    EXPECT_EQ(faults[7].senseBytes[2], 0x86);
    EXPECT_EQ(faults[7].sense, (sim::Sense{6, 0x28, 0}));
    EXPECT_EQ(faults[8].senseBytes, std::vector<std::uint8_t>{0x70});
    EXPECT_EQ(again.letters[1].target, 3);
    EXPECT_EQ(again.letters[1].lun, 4);
    EXPECT_EQ(again.letters[2].addressReply, sim::AddressReply::Fails);
    EXPECT_TRUE(again.letters[2].openFails);
    EXPECT_EQ(again.letters[3].drive, -1);
    EXPECT_EQ(again.letters[3].addressReply, sim::AddressReply::ZeroLength);
    EXPECT_FALSE(again.aspi.hasSupportInfoEntry);
    EXPECT_TRUE(again.aspi.hasSendCommandEntry);
    EXPECT_EQ(again.aspi.supportStatus, 0xE3);
    EXPECT_EQ(again.aspi.checkConditionStatus, SS_COMP);
    ASSERT_EQ(again.aspi.adapters.size(), 2u);
    EXPECT_EQ(again.aspi.adapters[0].devices[0].drive, 1);
    EXPECT_EQ(again.aspi.adapters[0].devices[1].drive, -1);
    EXPECT_EQ(again.aspi.adapters[0].devices[1].type, 1);
}

TEST(MachineFile, ErrorsNameTheJsonPathOfTheBadField) {
    const struct {
        const char* text;
        const char* error;
    } cases[] = {
        {R"({"drives": [{}, {"flashId": "C2 B6 00"}]})",
         "drives[1].flashId: expected 4 bytes, found 3"},
        {R"({"drives": [{"flashId": "C2 B6 00 G3"}]})",
         R"(drives[0].flashId: "G3" is not a hex byte)"},
        {R"({"drives": [{"flashID": "C2 B6 00 03"}]})",
         R"(drives[0].flashID: unknown key (did you mean "flashId"?))"},
        {R"({"drive": []})", "drive: unknown key"},
        {R"([])", "(top level): expected an object, found an array"},
        {R"({"os": {"family": "nt4"}})", R"(os.family: expected one of "nt", "win95")"},
        {R"({"os": {"heapFails": 1}})", "os.heapFails: expected true or false, found a number"},
        {R"({"clock": {"factor": 10}})", R"(clock.factor: only with mode "scaled")"},
        {R"({"clock": {"mode": "scaled", "factor": 0}})",
         "clock.factor: expected a number from 0.001 to 1e+06"},
        {R"({"drives": [{"vendor": "Korvane Ltd"}]})",
         "drives[0].vendor: at most 8 characters, found 11"},
        {R"({"drives": [{"revision": "QM\u00e9"}]})",
         "drives[0].revision: expected printable ASCII"},
        {R"({"drives": [{"revision": [81, 77, 48, 49, 32]}]})",
         "drives[0].revision: expected 0 to 4 bytes, found 5"},
        {R"({"drives": [{"inquiryLength": 97}]})",
         "drives[0].inquiryLength: expected a whole number from 0 to 96"},
        {R"({"drives": [{"timings": {"programSeconds": -1}}]})",
         "drives[0].timings.programSeconds: expected a number from 0 to 1e+06"},
        {R"({"drives": [{"bufferBytes": 1.5}]})",
         "drives[0].bufferBytes: expected a whole number from 16384 to 16777216, found a fraction"},
        {R"({"drives": [{"name": "E"}, {"name": "E"}]})", R"(drives[1].name: "E" is given twice)"},
        {R"({"drives": [{"faults": [{"opcode": 18}]}]})", "drives[0].faults[0].kind: required"},
        {R"({"drives": [{"faults": [{}, {"kind": "sense"}]}]})",
         "drives[0].faults[0].kind: required"},
        {R"({"drives": [{"faults": [{"kind": "sense"}]}]})",
         "drives[0].faults[0].sense: required for a sense fault"},
        {R"({"drives": [{"faults": [{"kind": "sense", "sense": "5-24-00"}]}]})",
         R"(drives[0].faults[0].sense: expected KEY/ASC/ASCQ in hex, like "5/24/00")"},
        {R"({"drives": [{"faults": [{"kind": "sense", "sense": "70 00 zz"}]}]})",
         R"(drives[0].faults[0].sense: "zz" is not a hex byte)"},
        {R"({"drives": [{"faults": [{"kind": "sense", "sense": []}]}]})",
         "drives[0].faults[0].sense: expected 1 to 32 bytes, found 0"},
        {R"({"drives": [{"faults": [{"kind": "sense", "sense": [112, 256]}]}]})",
         "drives[0].faults[0].sense[1]: expected a whole number from 0 to 255"},
        {R"({"drives": [{"faults": [{"kind": "delay", "opcode": "3B", "seconds": 1}]}]})",
         R"(drives[0].faults[0].opcode: expected an opcode from 0 to 255, hex text like "0x3B", or "any")"},
        {R"({"drives": [{"faults": [{"kind": "delay"}]}]})",
         "drives[0].faults[0].seconds: required for a delay fault"},
        {R"({"drives": [{"faults": [{"kind": "read-back-differs", "opcode": "0x3C"}]}]})",
         "drives[0].faults[0].opcode: unknown key"},
        {R"({"drives": [{"faults": [{"kind": "vanish", "sense": "5/24/00"}]}]})",
         "drives[0].faults[0].sense: unknown key"},
        {R"({"drives": [{"faults": [{"kind": "short-transfer", "opcode": "0x3C"}]}]})",
         "drives[0].faults[0].bytes: required for a short-transfer fault"},
        {R"({"drives": [{"faults": [{"kind": "replaced", "opcode": "0x12"}]}]})",
         "drives[0].faults[0].by: required for a replaced fault"},
        {R"({"drives": [{"faults": [{"kind": "replaced", "count": 2, "by": {}}]}]})",
         "drives[0].faults[0].count: unknown key"},
        {R"({"drives": [{"faults": [{"kind": "replaced", "by": {"name": "G"}}]}]})",
         "drives[0].faults[0].by.name: the drive answers under the name of the drive it "
         "replaces"},
        {R"({"drives": [{"faults": [{"kind": "replaced", "by": {"revision": "QM100"}}]}]})",
         "drives[0].faults[0].by.revision: at most 4 characters, found 5"},
        {R"({"drives": [{"revisionAfterProgram": "QM100"}]})",
         "drives[0].revisionAfterProgram: at most 4 characters, found 5"},
        {R"({"drives": [{"faults": [{"kind": "vanish", "first": 0}]}]})",
         "drives[0].faults[0].first: expected a whole number from 1 to 4294967295"},
        {R"({"drives": [{}], "letters": [{"letter": "E", "drive": "F"}]})",
         R"(letters[0].drive: no drive is named "F")"},
        {R"({"drives": [{}], "letters": [{"letter": "E", "drive": 1}]})",
         "letters[0].drive: expected a whole number from 0 to 0"},
        {R"({"letters": [{"letter": "E"}, {"letter": "e"}]})",
         "letters[1].letter: E: is given twice"},
        {R"({"letters": [{"letter": "EF"}]})",
         "letters[0].letter: expected one letter from A to Z"},
        {R"({"letters": [{"type": "fixed"}]})", "letters[0].letter: required"},
        {R"({"letters": [{"letter": "C", "type": "fixed", "openFails": true}]})",
         R"(letters[0].openFails: only for a letter of type "cdrom")"},
        {R"({"letters": [{"letter": "E", "type": "cdrom", "address": {"port": 256}}]})",
         "letters[0].address.port: expected a whole number from 0 to 255"},
        {R"({"letters": [{"letter": "E", "type": "cdrom", "address": "none"}]})",
         R"(letters[0].address: expected one of "fails", "zero-length")"},
        {R"({"aspi": {"supportStatus": "SS_BOGUS"}})",
         R"(aspi.supportStatus: expected a status name like "SS_COMP" or a number from 0 to 255)"},
        {R"({"drives": [{"faults": [{"kind": "read-back-differs", "byte": 16384}]}]})",
         "drives[0].faults[0].byte: expected a whole number from 0 to 16383"},
        {R"({"aspi": {"entries": ["GetASPI32SupportInfo", "SendASPI32CommandEx"]}})",
         R"(aspi.entries[1]: expected one of "GetASPI32SupportInfo", "SendASPI32Command")"},
        {R"({"drives": [{}], "aspi": {"adapters": [{"devices": [{"drive": 0}, {"lun": 0}]}]}})",
         "aspi.adapters[0].devices[1]: target 0 LUN 0 is given twice on this adapter"},
        // A key given twice is caught in the text, with its path.
        {R"({"drives": [{}, {"name": "E", "revision": "QM01", "revision": "QM02"}]})",
         "drives[1].revision: the key is given twice"},
        {R"({"drives": [[], {"faults": [{"kind": "vanish", "kind": "delay"}]}]})",
         "drives[1].faults[0].kind: the key is given twice"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(ErrorOf(c.text), c.error) << c.text;
    }
    EXPECT_EQ(ErrorOf(R"({"drives": [})").rfind("not valid JSON: ", 0), 0u);
}

// Nesting is refused beyond 64 levels before anything else is looked at, however deep the text
// goes; keys and values from the file are shown cut and escaped.
TEST(MachineFile, DeepOrLongTextIsRefusedWithShortErrors) {
    const auto nested = [](const std::string& inner, std::size_t arrays) {
        return std::string(arrays, '[') + inner + std::string(arrays, ']');
    };
    const auto zeros = [](std::size_t count) {
        std::string path;
        for (std::size_t i = 0; i < count; ++i) {
            path += "[0]";
        }
        return path;
    };
    const std::string name(5000, 'n');
    const struct {
        std::string text;
        std::string error;
    } cases[] = {
        {R"({"description": )" + nested("", 63) + "}",
         "description: expected a string, found an array"},
        {R"({"description": )" + nested("", 64) + "}",
         "description" + zeros(63) + ": nested deeper than 64 levels"},
        {R"({"drives": )" + nested(R"({"name": "E", "name": "F"})", 100000) + "}",
         "drives" + zeros(63) + ": nested deeper than 64 levels"},
        {R"({"drives": [{"faults": [[{"kind": "sense", "kind": "sense"}]]}]})",
         "drives[0].faults[0][0].kind: the key is given twice"},
        {R"({"drives": [{}], "letters": [{"letter": "E", "drive": ")" + name + R"("}]})",
         R"(letters[0].drive: no drive is named ")" + std::string(40, 'n') +
             "... (5000 characters)\""},
        {R"({"drives": [{"\u0007)" + name + R"(": 1}]})",
         "drives[0].\\x07" + std::string(39, 'n') + "... (5001 characters): unknown key"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(ErrorOf(c.text), c.error) << c.text.substr(0, 80);
    }
}

TEST(MachineFile, FileErrorsCarryTheFileNameAndFailuresLeaveTheMachineAlone) {
    const std::filesystem::path path =
        std::filesystem::temp_directory_path() / "quiver_machine_file_test.json";
    {
        std::ofstream out(path);
        out << R"({"drives": [{"name": "E"}, {"flashId": 7}]})";
    }
    sim::Machine machine;
    try {
        LoadMachineFile(path.string(), machine);
        ADD_FAILURE() << "no error";
    } catch (const MachineFileError& e) {
        EXPECT_EQ(
            std::string(e.what()),
            path.string() +
                R"(: drives[1].flashId: expected 4 hex bytes like "C2 B6 00 03", found a number)");
    }
    EXPECT_EQ(machine.DriveCount(), 0u);
    EXPECT_TRUE(machine.letters.empty());
    std::filesystem::remove(path);

    try {
        ReadMachineFile(path.string());
        ADD_FAILURE() << "no error";
    } catch (const MachineFileError& e) {
        EXPECT_EQ(std::string(e.what()), path.string() + ": cannot open the file");
    }

    // A machine that is already set up is not built over.
    sim::Machine used;
    used.AddLetter('C', sim::LetterType::Fixed);
    EXPECT_THROW(LoadMachine(json::parse(DemoMachineJson()), used), std::invalid_argument);
}

TEST(MachineFile, DemoMachineAnswersThroughTheEmulatedOs) {
    sim::Machine machine;
    const MachineSpec desc = LoadMachine(json::parse(DemoMachineJson()), machine);
    ASSERT_EQ(desc.drives.size(), 2u);
    EXPECT_EQ(desc.drives[0].name, "E");
    EXPECT_EQ(desc.drives[1].name, "F");
    EXPECT_EQ(machine.clock.mode(), sim::Clock::Mode::Virtual);

    SimPlatform os(machine);
    char roots[64] = {};
    const DWORD length = os.GetLogicalDriveStringsA(sizeof roots, roots);
    EXPECT_EQ(std::string(roots, length), std::string("C:\\\0E:\\\0F:\\\0", 12));
    EXPECT_EQ(os.GetDriveTypeA("C:\\"), static_cast<UINT>(DRIVE_FIXED));
    EXPECT_EQ(os.GetDriveTypeA("E:\\"), static_cast<UINT>(DRIVE_CDROM));
    EXPECT_EQ(InquiryThroughOs(os, 'E'), "Korvane DVDRW KMR-730T  QM01");
    EXPECT_EQ(InquiryThroughOs(os, 'F'), "ORBITECHDVD-ROM OD-1650 1.02");

    const sim::Letter* f = machine.FindLetter('F');
    ASSERT_NE(f, nullptr);
    EXPECT_EQ(f->port, 1);
    EXPECT_EQ(f->target, 1);
    EXPECT_EQ(machine.drive(1).config().model, sim::DriveModel::Other);
    EXPECT_EQ(os.LoadLibraryA(kAspiLibraryName), nullptr);  // no ASPI manager
}

TEST(MachineFile, FaultsAndAspiReachTheBuiltMachine) {
    sim::Machine machine;
    LoadMachine(json::parse(R"({
        "os": {"family": "win95", "restartRefused": true},
        "drives": [{"name": "E", "faults": [{"kind": "sense", "opcode": "0x00", "first": 2,
                                             "sense": "2/04/01"}]},
                   {"name": "F", "revision": "QM03"}],
        "aspi": {"supportStatus": 1, "adapters": [
            {"identifier": "IDE", "devices": [{"target": 0, "drive": "F"}]},
            {"devices": [{"target": 1, "drive": "E"}]}]}
    })"),
                machine);
    EXPECT_FALSE(machine.os.ntFamily);
    EXPECT_TRUE(machine.os.restartRefused);

    // The sense fault fires on the second TEST UNIT READY only (the first one reports the
    // power-on reset, the third that there is no disc).
    sim::Drive& e = machine.drive(0);
    const std::uint8_t tur[6] = {};
    EXPECT_EQ(e.Execute(tur, 6, sim::DataDir::None, nullptr, 0).sense, sim::sense::kPowerOnReset);
    EXPECT_EQ(e.Execute(tur, 6, sim::DataDir::None, nullptr, 0).sense, sim::sense::kBecomingReady);
    EXPECT_EQ(e.Execute(tur, 6, sim::DataDir::None, nullptr, 0).sense,
              sim::sense::kNoMediumTrayClosed);

    const sim::AspiConfig& aspi = machine.aspi().config();
    EXPECT_TRUE(aspi.installed);
    EXPECT_EQ(machine.aspi().GetSupportInfo(), 0x0102u);  // SS_COMP, two adapters
    ASSERT_EQ(aspi.adapters.size(), 2u);
    EXPECT_EQ(aspi.adapters[0].identifier, "IDE");
    EXPECT_EQ(aspi.adapters[0].devices[0].drive, &machine.drive(1));
    EXPECT_EQ(aspi.adapters[1].devices[0].drive, &machine.drive(0));
    EXPECT_EQ(aspi.adapters[1].devices[0].target, 1);
}

// One drive behind two letters: both reach it, and the drive is named after the first. Without
// an address a letter answers with its drive's own (target the drive's index), so that two
// drives never share one and two letters of one drive do.
TEST(MachineFile, TwoLettersCanNameOneDrive) {
    sim::Machine machine;
    const MachineSpec desc = LoadMachine(json::parse(R"({
        "drives": [{"revision": "QM05"}, {}],
        "letters": [{"letter": "E", "drive": 0}, {"letter": "F", "drive": 1},
                    {"letter": "G", "drive": 0}]
    })"),
                                         machine);
    EXPECT_EQ(desc.drives[0].name, "E");
    EXPECT_EQ(desc.letters[0].target, 0);
    EXPECT_EQ(desc.letters[1].target, 1);
    EXPECT_EQ(desc.letters[2].target, 0);
    SimPlatform os(machine);
    EXPECT_EQ(InquiryThroughOs(os, 'E'), "Korvane DVDRW KMR-730T  QM05");
    EXPECT_EQ(InquiryThroughOs(os, 'G'), "Korvane DVDRW KMR-730T  QM05");
    EXPECT_EQ(machine.drive(0).Log().size(), 2u);
}

// The example machines of the documentation load, and the demo file is the built-in demo.
TEST(MachineFile, ShippedExamplesLoad) {
    const std::filesystem::path dir = std::filesystem::path(QUIVER_SOURCE_DIR) / "docs/machines";
    int count = 0;
    for (const auto& entry : std::filesystem::directory_iterator(dir)) {
        if (entry.path().extension() != ".json") {
            continue;
        }
        ++count;
        sim::Machine machine;
        EXPECT_NO_THROW(LoadMachineFile(entry.path().string(), machine)) << entry.path();
    }
    EXPECT_GE(count, 4);
    EXPECT_EQ(MachineToJson(ReadMachineFile((dir / "demo.json").string())),
              MachineToJson(ParseMachineText(DemoMachineJson())));
}

}  // namespace
}  // namespace quiver::simapp
