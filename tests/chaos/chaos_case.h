// One case of the random schedules: an emulated PC with its drives and their faults, a firmware
// package, and what the user does. A case can be written out as the files quiver-sim replays (a
// machine file, a package file, the command line with the answers) and as one JSON file from
// which a test builds it again.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

namespace quiver::chaos {

constexpr std::uint32_t kBlock = 16384;
constexpr std::uint32_t kImageArea = 1u << 20;

// An admission rule as written into the package; an empty field sets no condition.
struct EntrySpec {
    std::string lowest;
    std::string highest;
    std::string vendor;
    std::string product;
};

// What is written into the image area at a bank's start.
enum class ImageKind : std::uint8_t {
    Valid,        // an image of the emulated drive's format, `size` bytes, with imageRevision
    BadChecksum,  // the same with one byte of its body changed
    Garbage,      // bytes that are no image at all
    None,         // nothing: whatever the area held there stays
};

struct BankSpec {
    // Entries 1 to n of the bank; the others keep their placeholders. None at all: the first
    // entry is a placeholder too, and the bank admits every drive.
    std::vector<EntrySpec> entries;
    std::uint32_t start = 0;      // BIN_START
    std::uint32_t size = kBlock;  // BIN_SIZE
    ImageKind image = ImageKind::Valid;
    std::string imageRevision = "QM0F";
    std::string newRevision = "QM0F";  // NEW_FW
};

struct PackageSpec {
    // The character after "=" of each flag entry.
    char n2oMessage = '0';
    char chkDisc = '0';
    char bootCode = '1';
    char reboot = '0';
    char autoMode = '0';
    char closeAp = '0';
    char warning = '0';
    char admin = '0';
    char nbWarning = '0';
    char howManyBin = '1';
    std::vector<BankSpec> banks;  // up to 4, written in order: a later image overwrites an earlier
    bool imageAreaUnfilled = false;  // the area keeps the text of a package never filled
};

// What the user does, in quiver-sim's terms.
struct UserSpec {
    std::vector<std::string> answers;  // "yes" or "no", one per dialog or message box, in order
    std::string defaultAnswer = "yes";
    std::optional<int> choose;  // the drive list item chosen once start-up is over
    bool update = false;        // Update pressed (after the choice)
};

struct ChaosCase {
    nlohmann::json machine;  // a machine file
    PackageSpec package;
    UserSpec user;
};

// The package block: the program's built-in block with every slot filled as `wanted` says.
std::vector<std::uint8_t> BuildPackage(const PackageSpec& wanted);

nlohmann::json ToJson(const ChaosCase& c);
// Throws std::exception (nlohmann's or std::invalid_argument) for a file that is no case.
ChaosCase CaseFromJson(const nlohmann::json& j);

// quiver-sim's arguments for the user's part of the case (the files and the clock come first).
// They always name the user's actions, so that quiver-sim adds none of its own.
std::vector<std::string> UserArguments(const UserSpec& user);

// Writes the case into `dir` (made if needed): machine.json, package.bin, case.json, and
// replay.sh with the command line that replays it in quiver-sim; `findings` goes to
// findings.txt. Returns false when a file cannot be written.
bool WriteCase(const ChaosCase& c, const std::string& dir, const std::string& findings);

}  // namespace quiver::chaos
