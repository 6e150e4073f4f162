#include "manifest.h"

#include <nlohmann/json.hpp>

#include <set>

namespace quiver::pack {

namespace {

using nlohmann::json;

// The longest texts the slots take, each leaving room for its terminating zero.
constexpr std::size_t kTitleMax = sizeof(PackageHeader::title) - 1;                          // 63
constexpr std::size_t kVersionMax = sizeof(PackageHeader::version) - 1;                      // 12
constexpr std::size_t kDateMax = sizeof(PackageHeader::date) - 1;                            // 11
constexpr std::size_t kDriveNameMax = sizeof(PackageHeader::drive_name) - 1;                 // 64
constexpr std::size_t kNewFwMax = sizeof(PackageHeader::new_fw[0]) - kNewFwValueOffset - 1;  // 7

void RejectUnknownKeys(const json& object, const std::string& where,
                       std::initializer_list<const char*> known, Diagnostics& d) {
    const std::set<std::string> names(known.begin(), known.end());
    for (const auto& [key, value] : object.items()) {
        if (names.count(key) == 0) {
            d.Error(where.empty() ? key : where + "." + key, "unknown field");
        }
    }
}

// A text field: absent gives `fallback` (nullopt: the field is required). Checks that every
// character is a printable single-byte one and that the text fits `max` characters.
std::optional<std::string> ReadText(const json& object, const char* key, const std::string& field,
                                    std::size_t max, Diagnostics& d,
                                    std::optional<std::string> fallback = std::nullopt) {
    if (!object.contains(key)) {
        if (!fallback.has_value()) {
            d.Error(field, "missing");
        }
        return fallback;
    }
    const json& value = object.at(key);
    if (!value.is_string()) {
        d.Error(field, "must be a text");
        return std::nullopt;
    }
    const std::string text = value.get<std::string>();
    for (const char c : text) {
        if (static_cast<unsigned char>(c) < 0x20 || static_cast<unsigned char>(c) > 0x7E) {
            d.Error(field, "\"" + text +
                               "\": only printable ASCII characters fit a slot (no control "
                               "characters, no zero byte, no multi-byte characters)");
            return std::nullopt;
        }
    }
    if (text.size() > max) {
        d.Error(field, "\"" + text + "\" is " + std::to_string(text.size()) +
                           " characters; at most " + std::to_string(max) + " fit");
        return std::nullopt;
    }
    return text;
}

// A one-digit flag: 0 to 9, or false and true for 0 and 1.
std::optional<int> ReadDigit(const json& value, const std::string& field, Diagnostics& d) {
    if (value.is_boolean()) {
        return value.get<bool>() ? 1 : 0;
    }
    if (value.is_number_integer()) {
        const std::int64_t n = value.get<std::int64_t>();
        if (n >= 0 && n <= 9) {
            return static_cast<int>(n);
        }
    }
    d.Error(field, "must be one digit, 0 to 9 (or false / true), not " + value.dump());
    return std::nullopt;
}

void ReadFlags(const json& flags, Manifest& m, std::optional<int>& how_many_bin, Diagnostics& d) {
    if (!flags.is_object()) {
        d.Error("flags", "must be an object of KEY: digit");
        return;
    }
    for (const auto& [key, value] : flags.items()) {
        int index = -1;
        for (int i = 0; i < kFlagKeyCount; ++i) {
            if (key == kFlagKeys[i].name) {
                index = i;
            }
        }
        const std::string field = "flags." + key;
        if (index < 0) {
            d.Error(field, "unknown flag");
            continue;
        }
        const std::optional<int> digit = ReadDigit(value, field, d);
        if (!digit.has_value()) {
            continue;
        }
        if (index == kHowManyBinKey) {
            how_many_bin = *digit;
            continue;
        }
        if (index == kAdminKey && *digit > 1) {
            d.Warn(field, "only 1 turns the administrator reminder on; " + std::to_string(*digit) +
                              " leaves it off");
        }
        m.flags[index] = *digit;
    }
}

void ReadConstraint(const json& entry, const std::string& where, ManifestConstraint& c,
                    Diagnostics& d) {
    if (!entry.is_object()) {
        d.Error(where, "must be an object with lowest, highest, vendor, product");
        return;
    }
    RejectUnknownKeys(entry, where, {"lowest", "highest", "vendor", "product"}, d);
    c.lowest = ReadText(entry, "lowest", where + ".lowest", kRevisionWidth, d, "").value_or("");
    c.highest = ReadText(entry, "highest", where + ".highest", kRevisionWidth, d, "").value_or("");
    c.vendor = ReadText(entry, "vendor", where + ".vendor", kVendorWidth, d, "").value_or("");
    c.product = ReadText(entry, "product", where + ".product", kProductWidth, d, "").value_or("");
    if (!c.vendor.empty() && c.vendor.size() != kVendorWidth) {
        d.Warn(where + ".vendor", "\"" + c.vendor +
                                      "\" is not blank-padded to 8 characters as drives report "
                                      "it; it matches only a drive reporting exactly this text");
    }
    if (!c.product.empty() && c.product.size() != kProductWidth) {
        d.Warn(where + ".product", "\"" + c.product +
                                       "\" is not blank-padded to 16 characters as drives report "
                                       "it; it matches only a drive reporting exactly this text");
    }
    if (!c.lowest.empty() && !c.highest.empty() && c.lowest > c.highest) {
        d.Warn(where, "lowest \"" + c.lowest + "\" is above highest \"" + c.highest +
                          "\": the entry admits no revision");
    }
}

void ReadBank(const json& bank, const std::string& where, const std::filesystem::path& image_dir,
              ManifestBank& b, Diagnostics& d) {
    if (!bank.is_object()) {
        d.Error(where, "must be an object");
        return;
    }
    RejectUnknownKeys(bank, where, {"image", "start", "newRevision", "constraints"}, d);
    if (const auto image = ReadText(bank, "image", where + ".image", 4096, d)) {
        if (image->empty()) {
            d.Error(where + ".image", "empty path");
        } else {
            const std::filesystem::path path(*image);
            b.image = path.is_absolute() ? path : image_dir / path;
        }
    }
    if (bank.contains("start")) {
        const json& start = bank.at("start");
        if (start.is_number_integer() && start.get<std::int64_t>() >= 0) {
            b.start = start.get<std::int64_t>();
        } else {
            d.Error(where + ".start", "must be a whole number of bytes, 0 or more");
        }
    }
    if (const auto revision = ReadText(bank, "newRevision", where + ".newRevision", kNewFwMax, d)) {
        b.new_revision = *revision;
        if (revision->empty()) {
            d.Error(where + ".newRevision", "empty: every drive would count as up to date");
        } else if (revision->size() < kRevisionWidth) {
            d.Warn(where + ".newRevision",
                   "\"" + *revision + "\" is shorter than the 4 characters drives compare");
        }
    }
    if (!bank.contains("constraints")) {
        d.Warn(where + ".constraints",
               "none: the bank admits every drive, of any maker, model and revision");
        return;
    }
    const json& list = bank.at("constraints");
    if (!list.is_array()) {
        d.Error(where + ".constraints", "must be a list");
        return;
    }
    if (list.empty()) {
        d.Warn(where + ".constraints",
               "empty: the bank admits every drive, of any maker, model and revision");
    }
    if (list.size() > static_cast<std::size_t>(kEntriesPerBank)) {
        d.Error(where + ".constraints", std::to_string(list.size()) +
                                            " entries; a bank holds at most " +
                                            std::to_string(kEntriesPerBank));
        return;
    }
    b.constraints.resize(list.size());
    for (std::size_t i = 0; i < list.size(); ++i) {
        ReadConstraint(list[i], where + ".constraints[" + std::to_string(i) + "]", b.constraints[i],
                       d);
    }
}

}  // namespace

void Diagnostics::Error(std::string field, std::string message) {
    list_.push_back({Problem::Severity::Error, std::move(field), std::move(message)});
}

void Diagnostics::Warn(std::string field, std::string message) {
    list_.push_back({Problem::Severity::Warning, std::move(field), std::move(message)});
}

bool Diagnostics::HasErrors() const {
    for (const Problem& p : list_) {
        if (p.severity == Problem::Severity::Error) {
            return true;
        }
    }
    return false;
}

std::string Diagnostics::Format() const {
    std::string text;
    for (const Problem& p : list_) {
        text += p.severity == Problem::Severity::Error ? "error: " : "warning: ";
        if (!p.field.empty()) {
            text += p.field + ": ";
        }
        text += p.message + "\n";
    }
    return text;
}

Manifest ReadManifest(std::string_view json_text, const std::filesystem::path& image_dir,
                      Diagnostics& d) {
    Manifest m;
    json root;
    try {
        root = json::parse(json_text.begin(), json_text.end());
    } catch (const json::exception& e) {
        // Not JSON, or JSON the parser cannot hold (a number beyond a double, say).
        d.Error("", std::string("not valid JSON: ") + e.what());
        return m;
    }
    if (!root.is_object()) {
        d.Error("", "the manifest must be a JSON object");
        return m;
    }
    RejectUnknownKeys(
        root, "", {"title", "version", "date", "driveName", "flags", "emulatedDrive", "banks"}, d);
    m.title = ReadText(root, "title", "title", kTitleMax, d, kUnfilledTitle).value_or("");
    m.version = ReadText(root, "version", "version", kVersionMax, d).value_or("");
    m.date = ReadText(root, "date", "date", kDateMax, d, "").value_or("");
    m.drive_name = ReadText(root, "driveName", "driveName", kDriveNameMax, d).value_or("");
    if (root.contains("emulatedDrive")) {
        if (root.at("emulatedDrive").is_boolean()) {
            m.emulated_drive = root.at("emulatedDrive").get<bool>();
        } else {
            d.Error("emulatedDrive", "must be true or false");
        }
    }
    std::optional<int> how_many_bin;
    if (root.contains("flags")) {
        ReadFlags(root.at("flags"), m, how_many_bin, d);
    }

    if (!root.contains("banks") || !root.at("banks").is_array()) {
        d.Error("banks", "missing: a list of 1 to 4 banks");
        return m;
    }
    const json& banks = root.at("banks");
    if (banks.empty() || banks.size() > static_cast<std::size_t>(kPackageBanks)) {
        d.Error("banks", std::to_string(banks.size()) +
                             " banks; HOW_MANY_BIN must be 1 to 4, one bank each");
    }
    if (how_many_bin.has_value() && *how_many_bin != static_cast<int>(banks.size())) {
        d.Error("flags.HOW_MANY_BIN", std::to_string(*how_many_bin) + " but the manifest gives " +
                                          std::to_string(banks.size()) + " banks");
    }
    m.banks.resize(std::min<std::size_t>(banks.size(), kPackageBanks));
    for (std::size_t i = 0; i < m.banks.size(); ++i) {
        ReadBank(banks[i], "banks[" + std::to_string(i) + "]", image_dir, m.banks[i], d);
    }
    m.flags[kHowManyBinKey] = static_cast<int>(m.banks.size());
    return m;
}

}  // namespace quiver::pack
