#include "pack.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <functional>
#include <stdexcept>

#include "files.h"
#include "flash/flash_tables.h"
#include "formats/flash_profile_format.h"
#include "package/package_slots.h"
#include "version_strings.h"

namespace quiver::pack {

namespace {

std::string BankField(std::size_t index, const char* member) {
    return "banks[" + std::to_string(index) + "]." + member;
}

std::string Range(std::int64_t start, std::int64_t size) {
    return "[" + std::to_string(start) + ", " + std::to_string(start + size) + ")";
}

// Writes a text into a slot; the manifest was checked, so a text that does not fit is a fault
// of this program.
template <std::size_t N>
void Put(char (&slot)[N], std::string_view text) {
    if (!PutSlotText(slot, text)) {
        throw std::logic_error("text does not fit its slot: " + std::string(text));
    }
}

template <std::size_t N>
void PutKey(char (&slot)[N], std::string_view key, std::string_view value) {
    Put(slot, std::string(key) + "=" + std::string(value));
}

// A bank's start or size (0 to 1,048,576) as ten digits with leading zeros.
std::string TenDigits(std::int64_t value) {
    const std::string digits = std::to_string(value);
    return std::string(digits.size() < 10 ? 10 - digits.size() : 0, '0') + digits;
}

}  // namespace

std::vector<LoadedBank> LoadBanks(const Manifest& manifest, Diagnostics& d) {
    std::vector<LoadedBank> banks(manifest.banks.size());
    std::vector<bool> placed(banks.size(), false);
    std::int64_t next = 0;
    for (std::size_t i = 0; i < banks.size(); ++i) {
        const ManifestBank& named = manifest.banks[i];
        LoadedBank& bank = banks[i];
        const std::string field = BankField(i, "image");
        if (named.image.empty()) {
            continue;  // reported while reading the manifest
        }
        InputFile file;
        std::string error;
        if (!file.Open(named.image, error)) {
            d.Error(field, error);
            continue;
        }
        const std::uint64_t size = file.size();
        if (size == 0 || size % kImageBlockSize != 0) {
            d.Error(field, named.image.string() + " is " + std::to_string(size) +
                               " bytes; a bank's size must be a positive multiple of 16,384");
            continue;
        }
        if (size > kImageAreaSize) {
            d.Error(field, named.image.string() + " is " + std::to_string(size) +
                               " bytes; the image area holds 1,048,576");
            continue;
        }
        if (!file.Read(bank.bytes, error)) {
            d.Error(field, error);
            bank.bytes.clear();
            continue;
        }
        bank.start = named.start.value_or(next);
        const std::int64_t length = static_cast<std::int64_t>(size);
        if (bank.start > static_cast<std::int64_t>(kImageAreaSize) - length) {
            d.Error(named.start ? BankField(i, "start") : field,
                    "the bank's range " + Range(bank.start, length) +
                        " reaches past the image area of 1,048,576 bytes");
            continue;
        }
        next = bank.start + length;
        placed[i] = true;
        for (std::size_t j = 0; j < i; ++j) {
            const LoadedBank& other = banks[j];
            const std::int64_t other_end = other.start + std::ssize(other.bytes);
            if (placed[j] && bank.start < other_end && other.start < next) {
                d.Error(BankField(i, "start"), "the bank's range " + Range(bank.start, length) +
                                                   " overlaps bank " + std::to_string(j + 1) +
                                                   "'s " +
                                                   Range(other.start, std::ssize(other.bytes)));
            }
        }
        bank.emulated = sim::ParseFirmwareImage(bank.bytes.data(), bank.bytes.size());
        if (bank.emulated.has_value() && !named.new_revision.empty() &&
            bank.emulated->revision != named.new_revision.substr(0, kRevisionWidth)) {
            d.Warn(BankField(i, "newRevision"), "\"" + named.new_revision +
                                                    "\" but the image reports revision \"" +
                                                    bank.emulated->revision + "\" once flashed");
        }
    }
    return banks;
}

void WriteBlock(std::uint8_t* block, const Manifest& m, const std::vector<LoadedBank>& banks) {
    PackageHeader h;
    std::memcpy(&h, block, sizeof h);
    Put(h.version, m.version);
    Put(h.title, m.title);
    Put(h.date, m.date);
    Put(h.drive_name, m.drive_name);
    Put(h.constraints_marker, kConstraintsMarker);

    for (int bank = 1; bank <= kPackageBanks; ++bank) {
        const std::vector<ManifestConstraint> none;
        const std::vector<ManifestConstraint>& given =
            bank <= std::ssize(m.banks) ? m.banks[bank - 1].constraints : none;
        for (int entry = 1; entry <= kEntriesPerBank; ++entry) {
            ConstraintEntry& e = h.constraints[bank - 1][entry - 1];
            if (entry > std::ssize(given)) {
                e = PlaceholderEntry(bank, entry);
                continue;
            }
            const ManifestConstraint& c = given[entry - 1];
            e = ConstraintEntry{};
            Put(e.lowest, c.lowest);
            Put(e.highest, c.highest);
            Put(e.vendor, c.vendor);
            Put(e.product, c.product);
        }
    }

    char* const flag_slots[] = {h.n2o_message, h.chk_disc,    h.boot_code, h.reboot,
                                h.auto_mode,   h.close_ap,    h.warning,   h.admin,
                                h.nb_warning,  h.how_many_bin};
    static_assert(std::size(flag_slots) == kFlagKeyCount);
    for (int i = 0; i < kFlagKeyCount; ++i) {
        const std::string text =
            std::string(kFlagKeys[i].name) + "=" + static_cast<char>('0' + m.flags[i]);
        if (text.size() >= kFlagKeys[i].size) {
            throw std::logic_error("flag entry does not fit its slot");
        }
        std::memset(flag_slots[i], 0, kFlagKeys[i].size);
        std::memcpy(flag_slots[i], text.data(), text.size());
    }

    for (int bank = 1; bank <= kPackageBanks; ++bank) {
        const std::string digit(1, static_cast<char>('0' + bank));
        const bool used = bank <= std::ssize(banks);
        const LoadedBank* b = used ? &banks[bank - 1] : nullptr;
        PutKey(h.bin_start[bank - 1], "BIN_START" + digit, TenDigits(used ? b->start : 0));
        PutKey(h.bin_size[bank - 1], "BIN_SIZE" + digit,
               TenDigits(used ? std::ssize(b->bytes) : 0));
        PutKey(h.new_fw[bank - 1], "NEW_FW" + digit,
               used ? m.banks[bank - 1].new_revision : "N/A ");
    }
    std::memcpy(block, &h, sizeof h);

    std::uint8_t* image = block + kImageAreaOffset;
    std::memset(image, 0, kImageAreaSize);
    for (const LoadedBank& b : banks) {
        std::copy(b.bytes.begin(), b.bytes.end(), image + b.start);
    }
    block[offsetof(FirmwarePackage, end_zero)] = 0;
}

std::array<std::uint8_t, 16> PlaceholderProfileSignature() {
    // Profile 0 as the build makes it (tools/gen_flash_profiles): it serves the identifications
    // of every chip entry that takes it, and the 1280-byte profiles end in 6 zero bytes.
    std::vector<std::array<std::uint8_t, 4>> ids;
    for (int entry = 0; entry < kFlashChipCount; ++entry) {
        if (ProfileMap[entry] == 0) {
            const auto& id = FlashChipTable[entry].id;
            ids.push_back({id[0], id[1], id[2], id[3]});
        }
    }
    const std::size_t size = FlashProfileSize(0);
    const std::vector<std::uint8_t> profile =
        sim::MakePlaceholderProfile(0, static_cast<std::uint16_t>(size), ids, size == 1280 ? 6 : 0);
    std::array<std::uint8_t, 16> signature{};
    std::copy_n(profile.begin(), signature.size(), signature.begin());
    return signature;
}

bool CarriesPlaceholderProfiles(std::span<const std::uint8_t> file, std::size_t block_offset) {
    const std::array<std::uint8_t, 16> signature = PlaceholderProfileSignature();
    const std::boyer_moore_horspool_searcher searcher(signature.begin(), signature.end());
    for (auto at = file.begin();;) {
        at = std::search(at, file.end(), searcher);
        if (at == file.end()) {
            return false;
        }
        const std::size_t offset = static_cast<std::size_t>(at - file.begin());
        // The block's own image area could hold anything; only the program's data counts.
        if (offset + signature.size() <= block_offset || offset >= block_offset + kPackageSize) {
            return true;
        }
        ++at;
    }
}

void CheckInterlock(std::span<const std::uint8_t> file, std::size_t block_offset, const Manifest& m,
                    const std::vector<LoadedBank>& banks, Diagnostics& d) {
    const bool placeholders = CarriesPlaceholderProfiles(file, block_offset);
    if (m.emulated_drive && !placeholders) {
        d.Warn("emulatedDrive",
               "the updater does not carry the placeholder flash profiles; the emulated drive "
               "accepts no other profiles");
    }
    for (std::size_t i = 0; i < banks.size(); ++i) {
        if (banks[i].bytes.empty()) {
            continue;  // not loaded; already reported
        }
        const std::string field = BankField(i, "image");
        const bool emulated_image = banks[i].emulated.has_value();
        if (!emulated_image && placeholders && !m.emulated_drive) {
            d.Error(field,
                    "not an image for the emulated drive, and the updater carries the placeholder "
                    "flash profiles, which are not drive code: it must not flash a real drive. "
                    "Build the updater with the drive makers' profiles (QUIVER_FLASH_PROFILES), "
                    "or set \"emulatedDrive\": true for an updater meant for the emulated drive");
        } else if (!emulated_image && m.emulated_drive) {
            d.Warn(field, "not an image for the emulated drive: the emulated drive will refuse it");
        } else if (emulated_image && !placeholders && !m.emulated_drive) {
            d.Warn(field,
                   "an image for the emulated drive, in an updater that does not carry the "
                   "placeholder flash profiles: a real drive will refuse it");
        }
    }
}

FillResult Fill(std::vector<std::uint8_t> updater, std::string_view manifest_json,
                const std::filesystem::path& image_dir) {
    FillResult result;
    Diagnostics& d = result.diagnostics;
    const LocateResult located = LocateBlock(updater);
    if (!located.location.has_value()) {
        d.Error("updater", located.error);
    }
    result.location = located.location;
    const Manifest manifest = ReadManifest(manifest_json, image_dir, d);
    const std::vector<LoadedBank> banks = LoadBanks(manifest, d);
    if (!located.location.has_value() || d.HasErrors()) {
        return result;
    }
    const std::size_t offset = located.location->offset;
    CheckInterlock(updater, offset, manifest, banks, d);
    if (d.HasErrors()) {
        return result;
    }
    std::uint8_t* block = updater.data() + offset;
    WriteBlock(block, manifest, banks);
    if (std::memcmp(block + kImageAreaOffset, kUnfilledImageMarker, kUnfilledImageTestLength) ==
        0) {
        // Only an image that itself begins with the marker gets here; the updater would take
        // its image area for one never filled and admit no drive.
        d.Error("banks",
                "the image area would begin with \"BANK_START_FROM_HERE\", which marks "
                "an area never filled: the updater would admit no drive");
        return result;
    }
    if (located.location->format == FileFormat::Pe32 ||
        located.location->format == FileFormat::Pe32Plus) {
        if (PeIsSigned(updater)) {
            d.Warn("updater", "the file is signed; the signature no longer matches, sign it again");
        }
        WritePackageVersionStrings(updater, manifest, d);
        UpdatePeChecksum(updater);
    }
    result.file = std::move(updater);
    return result;
}

}  // namespace quiver::pack
