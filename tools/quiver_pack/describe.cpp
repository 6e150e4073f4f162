// The package of an updater, as JSON and as text.
#include <algorithm>
#include <cstdio>
#include <cstring>

#include <nlohmann/json.hpp>

#include "pack.h"
#include "package/block_keys.h"
#include "package/firmware_package.h"
#include "version_strings.h"

namespace quiver::pack {

namespace {

using nlohmann::ordered_json;

// A text of the block as it can be shown and put into JSON: bytes outside printable ASCII, and
// the backslash, as \xNN.
std::string Printable(const std::string& text) {
    std::string out;
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte < 0x20 || byte > 0x7E || c == '\\') {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\x%02X", byte);
            out += escaped;
        } else {
            out += c;
        }
    }
    return out;
}

std::string Quoted(const ordered_json& text) {
    return "\"" + text.get<std::string>() + "\"";
}

std::string FlagEffect(const std::string& key, int value) {
    if (key == "N2OMESSAGE") {
        if (value == 1) {
            return "drives at the new revision are marked up to date; Update asks before "
                   "flashing them";
        }
        return value == 0 ? "drives at the new revision are not marked up to date"
                          : "drives at the new revision are not marked up to date (only 1 marks "
                            "them)";
    }
    if (key == "CHKDISC") {
        return value == 1 ? "checks disc and tray before flashing" : "no disc and tray check";
    }
    if (key == "BOOTCODE") {
        return value != 0 ? "the flashing job's boot-code flag is set"
                          : "the flashing job's boot-code flag is clear";
    }
    if (key == "REBOOT") {
        return value != 0 ? "restarts the computer after a successful update"
                          : "no restart after an update";
    }
    if (key == "AUTOMODE") {
        return value != 0 ? "updates every allowed drive without asking"
                          : "the user picks the drive to update";
    }
    if (key == "CLOSEAP") {
        return value != 0 ? "ends the program after a successful update"
                          : "stays open after an update";
    }
    if (key == "WARNING") {
        return value == 1 ? "shows a notice at start-up" : "no notice at start-up";
    }
    if (key == "ADMIN") {
        return value == 1 ? "reminds the user to run as administrator on NT-family systems"
                          : "no administrator reminder";
    }
    if (key == "NBWARNING") {
        return value == 1 ? "the start-up notice has its third line"
                          : "the start-up notice has no third line";
    }
    if (value == 0) {
        return "no firmware: the program stops at start-up (\"No F/W in executable !\")";
    }
    if (value > kPackageBanks) {
        return "outside the format; read as 4 filled banks";
    }
    return std::to_string(value) + (value == 1 ? " filled bank" : " filled banks");
}

bool IsPlaceholder(const ConstraintFields& f) {
    return f.lowest == "#FLS" && f.highest.starts_with('#') && f.vendor.starts_with('#') &&
           f.product.starts_with('#');
}

bool SetsNoCondition(const ConstraintFields& f) {
    return f.lowest.empty() && f.highest.empty() && f.vendor.empty() && f.product.empty();
}

// Why the entry admits every drive in use, as the matching reads it: a placeholder as a bank's
// first entry, or any entry without a condition. Empty when it does not.
std::string AdmitsEveryDrive(const ConstraintFields& f, int entry) {
    if (entry == 1 && IsPlaceholder(f)) {
        return "a placeholder as the first entry: the bank has no constraints";
    }
    return SetsNoCondition(f) ? "an entry without any condition" : "";
}

}  // namespace

ordered_json DescribePackage(std::span<const std::uint8_t> file, const BlockLocation& location) {
    const std::uint8_t* block = file.data() + location.offset;
    const PackageReader reader(block);
    ordered_json out;
    out["block"] = {{"offset", location.offset},
                    {"format", FormatName(location.format)},
                    {"foundBy", location.by_section ? "section" : "markers"},
                    {"where", location.how}};
    const std::string title = reader.Title();
    out["title"] = Printable(title);
    out["titleFilled"] = title != kUnfilledTitle;
    out["version"] = Printable(reader.Version());
    out["date"] =
        Printable(ReadSlotText(block + offsetof(PackageHeader, date), sizeof(PackageHeader::date)));
    out["driveName"] = Printable(reader.DriveName());
    out["placeholderFlashProfiles"] = CarriesPlaceholderProfiles(file, location.offset);

    constexpr PackageFlag kFlagOrder[] = {
        PackageFlag::N2oMessage, PackageFlag::ChkDisc,
        PackageFlag::BootCode,   PackageFlag::Reboot,
        PackageFlag::AutoMode,   PackageFlag::CloseAp,
        PackageFlag::Warning,    PackageFlag::N2oMessage /* ADMIN, read apart */,
        PackageFlag::NbWarning,  PackageFlag::HowManyBin};
    ordered_json flags = ordered_json::array();
    for (int i = 0; i < kFlagKeyCount; ++i) {
        int value = reader.Flag(kFlagOrder[i]);
        if (i == kAdminKey) {
            const char c = static_cast<char>(block[kFlagKeys[i].offset + kAdminValueOffset]);
            value = c >= '0' && c <= '9' ? c - '0' : 0;
        }
        flags.push_back({{"key", kFlagKeys[i].name},
                         {"value", value},
                         {"effect", FlagEffect(kFlagKeys[i].name, value)}});
    }
    out["flags"] = flags;
    const int filled = reader.HowManyBin();
    out["howManyBin"] = filled;
    out["imageAreaFilled"] = !reader.ImageAreaUnfilled();

    ordered_json banks = ordered_json::array();
    ordered_json every = ordered_json::array();
    for (int b = 1; b <= kPackageBanks; ++b) {
        ordered_json bank;
        bank["bank"] = b;
        bank["filled"] = b <= filled;
        bank["start"] = reader.ImageStart(b);
        bank["size"] = reader.ImageSize(b);
        bank["rangeValid"] = reader.BankIsValid(b);
        bank["newRevision"] = Printable(reader.NewRevision(b));
        if (b <= filled && reader.BankIsValid(b) && !reader.ImageAreaUnfilled()) {
            const auto image = sim::ParseFirmwareImage(reader.ImageArea() + reader.ImageStart(b),
                                                       reader.ImageSize(b));
            bank["image"] = image.has_value()
                                ? ordered_json{{"emulatedDrive", true},
                                               {"revision", Printable(image->revision)},
                                               {"vendor", Printable(image->vendor)},
                                               {"product", Printable(image->product)},
                                               {"build", Printable(image->build)}}
                                : ordered_json{{"emulatedDrive", false}};
        }
        // Only a bank the matching reads admits anything: one of the filled banks, with a
        // usable range, in an image area that was filled.
        const bool matched = b <= filled && reader.BankIsValid(b) && !reader.ImageAreaUnfilled();
        ordered_json admitting = nullptr;
        ordered_json entries = ordered_json::array();
        for (int e = 1; e <= kEntriesPerBank; ++e) {
            const ConstraintFields f = reader.Constraint(b, e);
            const std::string why = AdmitsEveryDrive(f, e);
            if (matched && admitting.is_null() && !why.empty()) {
                admitting = {{"bank", b}, {"entry", e}, {"why", why}};
                every.push_back(admitting);
            }
            entries.push_back({{"entry", e},
                               {"placeholder", IsPlaceholder(f)},
                               {"lowest", Printable(f.lowest)},
                               {"highest", Printable(f.highest)},
                               {"vendor", Printable(f.vendor)},
                               {"product", Printable(f.product)}});
        }
        bank["admitsEveryDrive"] = !admitting.is_null();
        bank["admitsEveryDriveEntry"] = admitting.is_null() ? ordered_json() : admitting["entry"];
        bank["constraints"] = entries;
        banks.push_back(bank);
    }
    out["admitsEveryDrive"] = !every.empty();
    out["admitsEveryDriveBy"] = every;
    out["banks"] = banks;
    if (ordered_json strings = DescribeVersionStrings(file); !strings.is_null()) {
        out["versionInfo"] = std::move(strings);
    }
    return out;
}

std::string RenderPackage(const ordered_json& d) {
    std::string text;
    auto line = [&text](const std::string& s) { text += s + "\n"; };
    line("Package block:   " + d["block"]["where"].get<std::string>());
    line("Title:           " + Quoted(d["title"]) +
         (d["titleFilled"].get<bool>() ? "" : " (not filled: the caption shows the version)"));
    line("Version:         " + Quoted(d["version"]));
    line("Date:            " + Quoted(d["date"]));
    line("Drive name:      " + Quoted(d["driveName"]));
    line(std::string("Flash profiles:  ") +
         (d["placeholderFlashProfiles"].get<bool>()
              ? "placeholders (only the emulated drive accepts them)"
              : "no placeholder profiles found"));
    line("Flags:");
    for (const auto& f : d["flags"]) {
        std::string head =
            "  " + f["key"].get<std::string>() + "=" + std::to_string(f["value"].get<int>());
        head.resize(std::max<std::size_t>(head.size() + 1, 18), ' ');
        line(head + f["effect"].get<std::string>());
    }
    line(d["imageAreaFilled"].get<bool>()
             ? "Image area:      filled"
             : "Image area:      never filled (\"BANK_START_FROM_HERE\"): no drive is admitted");
    if (d["admitsEveryDrive"].get<bool>()) {
        for (const auto& by : d["admitsEveryDriveBy"]) {
            line("ADMITS EVERY DRIVE in use, of any maker, model and revision: bank " +
                 std::to_string(by["bank"].get<int>()) + ", entry " +
                 std::to_string(by["entry"].get<int>()) + ", " + by["why"].get<std::string>());
        }
    } else {
        line("Admits every drive: no");
    }
    for (const auto& b : d["banks"]) {
        const int n = b["bank"].get<int>();
        const std::int64_t start = b["start"].get<std::int64_t>();
        const std::int64_t size = b["size"].get<std::int64_t>();
        std::string head = "Bank " + std::to_string(n) +
                           (b["filled"].get<bool>() ? " (filled): " : " (not filled): ");
        head += "bytes [" + std::to_string(start) + ", " + std::to_string(start + size) +
                ") of the image area";
        if (b["filled"].get<bool>() && !b["rangeValid"].get<bool>()) {
            head += " (not a valid range)";
        }
        line(head + ", new revision " + Quoted(b["newRevision"]));
        if (b.contains("image")) {
            const auto& image = b["image"];
            line(image["emulatedDrive"].get<bool>()
                     ? "  image: for the emulated drive, revision " + Quoted(image["revision"]) +
                           ", " + Quoted(image["vendor"]) + " " + Quoted(image["product"]) +
                           ", build " + Quoted(image["build"])
                     : "  image: not an image for the emulated drive");
        }

        std::string placeholders;
        for (const auto& e : b["constraints"]) {
            const std::string number = std::to_string(e["entry"].get<int>());
            if (e["placeholder"].get<bool>()) {
                placeholders += (placeholders.empty() ? "" : ", ") + number;
                continue;
            }
            line("  entry " + number + ": lowest " + Quoted(e["lowest"]) + ", highest " +
                 Quoted(e["highest"]) + ", vendor " + Quoted(e["vendor"]) + ", product " +
                 Quoted(e["product"]));
        }
        if (!placeholders.empty()) {
            line("  placeholder entries: " + placeholders);
        }
    }
    if (d.contains("versionInfo")) {
        text += RenderVersionStrings(d["versionInfo"]);
    }
    return text;
}

}  // namespace quiver::pack
