#include "manifest.h"

#include <span>
#include <utility>

#include "json/json_file.h"

namespace quiver::pack {

namespace {

using jsonfile::Value;

// The longest texts the slots take, each leaving room for its terminating zero.
constexpr std::size_t kTitleMax = sizeof(PackageHeader::title) - 1;                          // 63
constexpr std::size_t kVersionMax = sizeof(PackageHeader::version) - 1;                      // 12
constexpr std::size_t kDateMax = sizeof(PackageHeader::date) - 1;                            // 11
constexpr std::size_t kDriveNameMax = sizeof(PackageHeader::drive_name) - 1;                 // 64
constexpr std::size_t kNewFwMax = sizeof(PackageHeader::new_fw[0]) - kNewFwValueOffset - 1;  // 7
constexpr std::size_t kImagePathMax = 4096;

const char* const kAnyDriveAdvice =
    "; a bank meant to admit every drive says \"admitAnyDrive\": true";

// Runs one reading of the manifest. A problem it finds is reported and leaves the value out, so
// that the reading goes on and every problem is reported.
template <typename Read>
auto Checked(Diagnostics& d, Read read) -> std::optional<decltype(read())> {
    try {
        return read();
    } catch (const jsonfile::Error& e) {
        d.Error(e.path(), e.problem());
        return std::nullopt;
    }
}

std::optional<jsonfile::Object> AsObject(const Value& value, const std::string& path,
                                         Diagnostics& d) {
    return Checked(d, [&] { return jsonfile::Object(value, path); });
}

void RejectUnknownKeys(const jsonfile::Object& object, std::span<const char* const> known,
                       Diagnostics& d) {
    for (const jsonfile::Error& e : object.Unknown(known)) {
        d.Error(e.path(), e.problem());
    }
}

// A text: absent gives `fallback` (nullopt: the field is required). Only printable single-byte
// characters fit a slot, at most `max` of them.
std::optional<std::string> ReadText(const jsonfile::Object& object, const char* key,
                                    std::size_t max, Diagnostics& d,
                                    std::optional<std::string> fallback = std::nullopt) {
    if (!object.Has(key)) {
        if (!fallback.has_value()) {
            d.Error(object.At(key), "missing");
        }
        return fallback;
    }
    return Checked(d, [&] { return object.Ascii(key, "", max); });
}

// A one-digit flag: 0 to 9, or false and true for 0 and 1.
std::optional<int> ReadDigit(const Value& value, const std::string& field, Diagnostics& d) {
    if (value.is_boolean()) {
        return value.get<bool>() ? 1 : 0;
    }
    if (value.is_number_integer() &&
        !(value.is_number_unsigned() && value.get<std::uint64_t>() > 9)) {
        const std::int64_t n = value.get<std::int64_t>();
        if (n >= 0 && n <= 9) {
            return static_cast<int>(n);
        }
    }
    d.Error(field,
            "expected one digit, 0 to 9 (or false / true), found " + jsonfile::Describe(value));
    return std::nullopt;
}

void ReadFlags(const jsonfile::Object& flags, Manifest& m, std::optional<int>& how_many_bin,
               Diagnostics& d) {
    for (int i = 0; i < kFlagKeyCount; ++i) {
        const Value* value = flags.Find(kFlagKeys[i].name);
        if (value == nullptr) {
            continue;
        }
        const std::string field = flags.At(kFlagKeys[i].name);
        const std::optional<int> digit = ReadDigit(*value, field, d);
        if (!digit.has_value()) {
            continue;
        }
        if (i == kHowManyBinKey) {
            how_many_bin = *digit;
            continue;
        }
        if (i == kAdminKey && *digit > 1) {
            d.Warn(field, "only 1 turns the administrator reminder on; " + std::to_string(*digit) +
                              " leaves it off");
        }
        m.flags[i] = *digit;
    }
}

// True when the entry sets none of its four fields (each absent or empty).
bool SetsNoCondition(const jsonfile::Object& entry) {
    for (const char* key : {"lowest", "highest", "vendor", "product"}) {
        const Value* value = entry.Find(key);
        if (value != nullptr &&
            !(value->is_string() && value->get_ref<const std::string&>().empty())) {
            return false;
        }
    }
    return true;
}

void ReadConstraint(const Value& value, const std::string& where, ManifestConstraint& c,
                    Diagnostics& d) {
    const std::optional<jsonfile::Object> entry = AsObject(value, where, d);
    if (!entry.has_value()) {
        return;
    }
    constexpr const char* kEntryKeys[] = {"lowest", "highest", "vendor", "product"};
    RejectUnknownKeys(*entry, kEntryKeys, d);
    if (SetsNoCondition(*entry)) {
        d.Error(where,
                "sets no condition, so it admits every drive in use, of any maker, model "
                "and revision" +
                    std::string(kAnyDriveAdvice));
        return;
    }
    c.lowest = ReadText(*entry, "lowest", kRevisionWidth, d, "").value_or("");
    c.highest = ReadText(*entry, "highest", kRevisionWidth, d, "").value_or("");
    c.vendor = ReadText(*entry, "vendor", kVendorWidth, d, "").value_or("");
    c.product = ReadText(*entry, "product", kProductWidth, d, "").value_or("");
    if (!c.vendor.empty() && c.vendor.size() != kVendorWidth) {
        d.Warn(entry->At("vendor"), "\"" + c.vendor +
                                        "\" is not blank-padded to 8 characters as drives report "
                                        "it; it matches only a drive reporting exactly this text");
    }
    if (!c.product.empty() && c.product.size() != kProductWidth) {
        d.Warn(entry->At("product"), "\"" + c.product +
                                         "\" is not blank-padded to 16 characters as drives "
                                         "report it; it matches only a drive reporting exactly "
                                         "this text");
    }
    if (!c.lowest.empty() && !c.highest.empty() && c.lowest > c.highest) {
        d.Warn(where, "lowest \"" + c.lowest + "\" is above highest \"" + c.highest +
                          "\": the entry admits no revision");
    }
}

void ReadConstraints(const jsonfile::Object& bank, ManifestBank& b, Diagnostics& d) {
    const std::string field = bank.At("constraints");
    if (Checked(d, [&] { return bank.Bool("admitAnyDrive", false); }).value_or(false)) {
        d.Warn(bank.At("admitAnyDrive"),
               "the bank admits every drive in use, of any maker, model and revision");
        const Value* given = bank.Find("constraints");
        if (given != nullptr && !(given->is_array() && given->empty())) {
            d.Error(field, "a bank that admits every drive takes no constraint entries");
        }
        // One entry without any condition says it in the block.
        b.constraints.assign(1, ManifestConstraint{});
        return;
    }
    if (!bank.Has("constraints")) {
        d.Warn(field, "none: the bank admits every drive, of any maker, model and revision" +
                          std::string(kAnyDriveAdvice));
        return;
    }
    const auto list = Checked(d, [&] { return &bank.Array("constraints"); });
    if (!list.has_value()) {
        return;
    }
    const Value& entries = **list;
    if (entries.empty()) {
        d.Warn(field, "empty: the bank admits every drive, of any maker, model and revision" +
                          std::string(kAnyDriveAdvice));
    }
    if (entries.size() > static_cast<std::size_t>(kEntriesPerBank)) {
        d.Error(field, std::to_string(entries.size()) + " entries; a bank holds at most " +
                           std::to_string(kEntriesPerBank));
        return;
    }
    b.constraints.resize(entries.size());
    for (std::size_t i = 0; i < entries.size(); ++i) {
        ReadConstraint(entries[i], jsonfile::Element(field, i), b.constraints[i], d);
    }
}

void ReadBank(const Value& value, const std::string& where, const std::filesystem::path& image_dir,
              ManifestBank& b, Diagnostics& d) {
    const std::optional<jsonfile::Object> bank = AsObject(value, where, d);
    if (!bank.has_value()) {
        return;
    }
    constexpr const char* kBankKeys[] = {"image", "start", "newRevision", "constraints",
                                         "admitAnyDrive"};
    RejectUnknownKeys(*bank, kBankKeys, d);
    if (const auto image = ReadText(*bank, "image", kImagePathMax, d)) {
        if (image->empty()) {
            d.Error(bank->At("image"), "empty path");
        } else {
            const std::filesystem::path path(*image);
            b.image = path.is_absolute() ? path : image_dir / path;
        }
    }
    if (bank->Has("start")) {
        // Checked against the image area before anything adds to it.
        b.start = Checked(d, [&] {
            return bank->Integer("start", 0, 0, static_cast<std::int64_t>(kImageAreaSize));
        });
    }
    if (const auto revision = ReadText(*bank, "newRevision", kNewFwMax, d)) {
        b.new_revision = *revision;
        if (revision->empty()) {
            d.Error(bank->At("newRevision"), "empty: every drive would count as up to date");
        } else if (revision->size() < kRevisionWidth) {
            d.Warn(bank->At("newRevision"),
                   "\"" + *revision + "\" is shorter than the 4 characters drives compare");
        }
    }
    ReadConstraints(*bank, b, d);
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
    const std::optional<Value> root = Checked(d, [&] { return jsonfile::Parse(json_text); });
    if (!root.has_value()) {
        return m;
    }
    const std::optional<jsonfile::Object> top = AsObject(*root, "", d);
    if (!top.has_value()) {
        return m;
    }
    constexpr const char* kTopKeys[] = {"title", "version",       "date", "driveName",
                                        "flags", "emulatedDrive", "banks"};
    RejectUnknownKeys(*top, kTopKeys, d);
    m.title = ReadText(*top, "title", kTitleMax, d, kUnfilledTitle).value_or("");
    m.version = ReadText(*top, "version", kVersionMax, d).value_or("");
    m.date = ReadText(*top, "date", kDateMax, d, "").value_or("");
    m.drive_name = ReadText(*top, "driveName", kDriveNameMax, d).value_or("");
    m.emulated_drive =
        Checked(d, [&] { return top->Bool("emulatedDrive", false); }).value_or(false);
    std::optional<int> how_many_bin;
    if (const Value* flags = top->Find("flags")) {
        if (const auto object = AsObject(*flags, "flags", d)) {
            std::vector<const char*> known;
            for (const FlagKey& key : kFlagKeys) {
                known.push_back(key.name);
            }
            RejectUnknownKeys(*object, known, d);
            ReadFlags(*object, m, how_many_bin, d);
        }
    }

    const Value* banks = top->Find("banks");
    if (banks == nullptr || !banks->is_array()) {
        d.Error("banks", "missing: a list of 1 to 4 banks");
        return m;
    }
    if (banks->empty() || banks->size() > static_cast<std::size_t>(kPackageBanks)) {
        d.Error("banks", std::to_string(banks->size()) +
                             " banks; HOW_MANY_BIN must be 1 to 4, one bank each");
    }
    if (how_many_bin.has_value() && *how_many_bin != static_cast<int>(banks->size())) {
        d.Error("flags.HOW_MANY_BIN", std::to_string(*how_many_bin) + " but the manifest gives " +
                                          std::to_string(banks->size()) + " banks");
    }
    m.banks.resize(std::min<std::size_t>(banks->size(), kPackageBanks));
    for (std::size_t i = 0; i < m.banks.size(); ++i) {
        ReadBank((*banks)[i], jsonfile::Element("banks", i), image_dir, m.banks[i], d);
    }
    m.flags[kHowManyBinKey] = static_cast<int>(m.banks.size());
    return m;
}

}  // namespace quiver::pack
