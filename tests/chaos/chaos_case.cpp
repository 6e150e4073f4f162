#include "chaos_case.h"

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <stdexcept>

#include "formats/firmware_image.h"
#include "package/package_layout.h"
#include "package_helpers.h"

#ifndef QUIVER_SIM_PROGRAM
#define QUIVER_SIM_PROGRAM "quiver-sim"
#endif

namespace quiver::chaos {

namespace {

using nlohmann::json;

#define QUIVER_SLOT(field) \
    offsetof(::quiver::PackageHeader, field), sizeof(::quiver::PackageHeader::field)

struct FlagSlot {
    const char* key;
    char PackageSpec::*value;
    std::size_t offset;
    std::size_t size;
};

const FlagSlot kFlagSlots[] = {
    {"N2OMESSAGE", &PackageSpec::n2oMessage, QUIVER_SLOT(n2o_message)},
    {"CHKDISC", &PackageSpec::chkDisc, QUIVER_SLOT(chk_disc)},
    {"BOOTCODE", &PackageSpec::bootCode, QUIVER_SLOT(boot_code)},
    {"REBOOT", &PackageSpec::reboot, QUIVER_SLOT(reboot)},
    {"AUTOMODE", &PackageSpec::autoMode, QUIVER_SLOT(auto_mode)},
    {"CLOSEAP", &PackageSpec::closeAp, QUIVER_SLOT(close_ap)},
    {"WARNING", &PackageSpec::warning, QUIVER_SLOT(warning)},
    {"ADMIN", &PackageSpec::admin, QUIVER_SLOT(admin)},
    {"NBWARNING", &PackageSpec::nbWarning, QUIVER_SLOT(nb_warning)},
    {"HOW_MANY_BIN", &PackageSpec::howManyBin, QUIVER_SLOT(how_many_bin)},
};

#undef QUIVER_SLOT

constexpr const char* kImageKinds[] = {"valid", "bad-checksum", "garbage", "none"};

std::string Numbered(const char* key, int bank, std::uint32_t value) {
    char text[32];
    std::snprintf(text, sizeof text, "%s%d=%010u", key, bank, value);
    return text;
}

bool RangeUsable(const BankSpec& b) {
    return b.size > 0 && b.size % kBlock == 0 && std::uint64_t{b.start} + b.size <= kImageArea;
}

void PutImage(std::vector<std::uint8_t>& block, const BankSpec& b, int bank) {
    if (b.image == ImageKind::None || !RangeUsable(b)) {
        return;
    }
    std::uint8_t* at = block.data() + kImageAreaOffset + b.start;
    if (b.image == ImageKind::Garbage) {
        for (std::uint32_t i = 0; i < b.size; ++i) {
            at[i] = static_cast<std::uint8_t>(i * 31 + static_cast<std::uint32_t>(bank) * 7);
        }
        return;
    }
    const std::vector<std::uint8_t> image = sim::MakeFirmwareImage(
        b.imageRevision, b.size, static_cast<std::uint32_t>(bank), "random schedule");
    std::memcpy(at, image.data(), image.size());
    if (b.image == ImageKind::BadChecksum) {
        at[0x40] ^= 0x01;
    }
}

char FlagChar(const json& j, const char* key, char fallback) {
    if (!j.contains(key)) {
        return fallback;
    }
    const std::string text = j.at(key).get<std::string>();
    if (text.size() != 1) {
        throw std::invalid_argument(std::string("package.") + key + ": one character expected");
    }
    return text[0];
}

}  // namespace

std::vector<std::uint8_t> BuildPackage(const PackageSpec& wanted) {
    std::vector<std::uint8_t> block = testing::CopyOfEmbeddedPackage();
    for (const FlagSlot& f : kFlagSlots) {
        testing::PutSlot(block, f.offset, f.size, std::string(f.key) + "=" + (wanted.*f.value));
    }
    for (int bank = 1; bank <= kPackageBanks; ++bank) {
        const BankSpec* b = static_cast<std::size_t>(bank) <= wanted.banks.size()
                                ? &wanted.banks[static_cast<std::size_t>(bank - 1)]
                                : nullptr;
        for (int e = 1; e <= kEntriesPerBank; ++e) {
            if (b != nullptr && static_cast<std::size_t>(e) <= b->entries.size()) {
                const EntrySpec& entry = b->entries[static_cast<std::size_t>(e - 1)];
                testing::PutEntry(block, bank, e, entry.lowest, entry.highest, entry.vendor,
                                  entry.product);
            } else {
                const std::string placeholder = "#FLSH" + std::to_string(bank) + std::to_string(e);
                testing::PutEntry(block, bank, e, placeholder, "#", "#", "#");
            }
        }
        const std::size_t i = static_cast<std::size_t>(bank - 1);
        testing::PutSlot(block, offsetof(PackageHeader, bin_start) + i * 22, 22,
                         Numbered("BIN_START", bank, b != nullptr ? b->start : 0));
        testing::PutSlot(block, offsetof(PackageHeader, bin_size) + i * 21, 21,
                         Numbered("BIN_SIZE", bank, b != nullptr ? b->size : 0));
        testing::PutSlot(block, offsetof(PackageHeader, new_fw) + i * 16, 16,
                         "NEW_FW" + std::to_string(bank) + "=" +
                             (b != nullptr ? b->newRevision : std::string("N/A ")));
    }
    std::memset(block.data() + kImageAreaOffset, 0, kImageArea);
    if (wanted.imageAreaUnfilled) {
        std::memcpy(block.data() + kImageAreaOffset, kUnfilledImageMarker,
                    sizeof kUnfilledImageMarker - 1);
    } else {
        for (std::size_t i = 0; i < wanted.banks.size() && i < kPackageBanks; ++i) {
            PutImage(block, wanted.banks[i], static_cast<int>(i + 1));
        }
    }
    return block;
}

json ToJson(const ChaosCase& c) {
    json package = json::object();
    for (const FlagSlot& f : kFlagSlots) {
        package[f.key] = std::string(1, c.package.*f.value);
    }
    package["imageAreaUnfilled"] = c.package.imageAreaUnfilled;
    package["banks"] = json::array();
    for (const BankSpec& b : c.package.banks) {
        json bank = {{"start", b.start},
                     {"size", b.size},
                     {"image", kImageKinds[static_cast<int>(b.image)]},
                     {"imageRevision", b.imageRevision},
                     {"newRevision", b.newRevision},
                     {"entries", json::array()}};
        for (const EntrySpec& e : b.entries) {
            bank["entries"].push_back({{"lowest", e.lowest},
                                       {"highest", e.highest},
                                       {"vendor", e.vendor},
                                       {"product", e.product}});
        }
        package["banks"].push_back(bank);
    }
    json user = {{"answers", c.user.answers},
                 {"defaultAnswer", c.user.defaultAnswer},
                 {"update", c.user.update}};
    if (c.user.choose) {
        user["choose"] = *c.user.choose;
    }
    return {{"machine", c.machine}, {"package", package}, {"user", user}};
}

ChaosCase CaseFromJson(const json& j) {
    ChaosCase c;
    c.machine = j.at("machine");
    const json& p = j.at("package");
    for (const FlagSlot& f : kFlagSlots) {
        c.package.*f.value = FlagChar(p, f.key, c.package.*f.value);
    }
    c.package.imageAreaUnfilled = p.value("imageAreaUnfilled", false);
    for (const json& b : p.at("banks")) {
        BankSpec bank;
        bank.start = b.at("start").get<std::uint32_t>();
        bank.size = b.at("size").get<std::uint32_t>();
        const std::string kind = b.value("image", "valid");
        bool known = false;
        for (int k = 0; k < 4; ++k) {
            if (kind == kImageKinds[k]) {
                bank.image = static_cast<ImageKind>(k);
                known = true;
            }
        }
        if (!known) {
            throw std::invalid_argument("package.banks[].image: unknown kind " + kind);
        }
        bank.imageRevision = b.value("imageRevision", bank.imageRevision);
        bank.newRevision = b.value("newRevision", bank.newRevision);
        for (const json& e : b.at("entries")) {
            bank.entries.push_back({e.value("lowest", ""), e.value("highest", ""),
                                    e.value("vendor", ""), e.value("product", "")});
        }
        c.package.banks.push_back(bank);
    }
    const json& u = j.at("user");
    c.user.answers = u.value("answers", std::vector<std::string>{});
    c.user.defaultAnswer = u.value("defaultAnswer", "yes");
    c.user.update = u.value("update", false);
    if (u.contains("choose")) {
        c.user.choose = u.at("choose").get<int>();
    }
    return c;
}

std::vector<std::string> UserArguments(const UserSpec& user) {
    std::vector<std::string> args;
    for (const std::string& a : user.answers) {
        args.insert(args.end(), {"--answer", a});
    }
    args.insert(args.end(), {"--default-answer", user.defaultAnswer});
    if (user.choose) {
        args.insert(args.end(), {"--choose", std::to_string(*user.choose)});
    }
    if (user.update) {
        args.push_back("--update");
    } else if (!user.choose) {
        args.push_back("--wait");  // no action at all: nothing that the default would add
    }
    return args;
}

bool WriteCase(const ChaosCase& c, const std::string& dir, const std::string& findings) {
    std::error_code error;
    std::filesystem::create_directories(dir, error);
    if (error) {
        return false;
    }
    auto write = [&dir](const char* name, const void* bytes, std::size_t size) {
        std::ofstream out(dir + "/" + name, std::ios::binary | std::ios::trunc);
        out.write(static_cast<const char*>(bytes), static_cast<std::streamsize>(size));
        return static_cast<bool>(out);
    };
    const std::string machine = c.machine.dump(2) + "\n";
    const std::string whole = ToJson(c).dump(2) + "\n";
    const std::vector<std::uint8_t> package = BuildPackage(c.package);
    std::string replay =
        "#!/bin/sh\n"
        "# Replays the case in quiver-sim (QUIVER_SIM names another build of it).\n"
        "cd \"$(dirname \"$0\")\" || exit 2\n"
        "exec \"${QUIVER_SIM:-" QUIVER_SIM_PROGRAM
        "}\" --machine machine.json --package package.bin --speed virtual";
    for (const std::string& a : UserArguments(c.user)) {
        replay += " " + a;
    }
    replay += " \"$@\"\n";
    const bool ok = write("machine.json", machine.data(), machine.size()) &&
                    write("case.json", whole.data(), whole.size()) &&
                    write("package.bin", package.data(), package.size()) &&
                    write("replay.sh", replay.data(), replay.size()) &&
                    write("findings.txt", findings.data(), findings.size());
    std::filesystem::permissions(dir + "/replay.sh", std::filesystem::perms::owner_exec,
                                 std::filesystem::perm_options::add, error);
    return ok;
}

}  // namespace quiver::chaos
