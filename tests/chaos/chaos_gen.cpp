#include "chaos_gen.h"

#include <array>
#include <initializer_list>
#include <memory>
#include <string>
#include <vector>

#include <rapidcheck/detail/FrequencyMap.h>

#include "sim/drive.h"
#include "simapp/machine_file.h"

namespace quiver::chaos {

namespace {

namespace gen = rc::gen;
using FaultKind = sim::Fault::Kind;

// One of the values, drawn by weight. Unlike RapidCheck's weightedElement, a failing case shrinks
// towards the values listed first, which are the plainer ones.
template <typename T>
rc::Gen<T> Pick(std::initializer_list<std::pair<std::size_t, T>> pairs) {
    std::vector<std::size_t> weights;
    std::vector<T> values;
    for (const auto& [weight, value] : pairs) {
        weights.push_back(weight);
        values.push_back(value);
    }
    const rc::detail::FrequencyMap map(weights);
    return rc::Gen<T>([map, values](const rc::Random& random, int /*size*/) {
        const std::size_t drawn = map.lookup(rc::Random(random).next() % map.sum());
        return rc::shrinkable::map(
            rc::shrinkable::shrinkRecur(
                drawn, [](std::size_t x) { return rc::shrink::towards<std::size_t>(x, 0); }),
            [values](std::size_t x) { return values[x]; });
    });
}

// One of the generators, drawn by weight, shrinking towards those listed first.
template <typename T>
rc::Gen<T> PickOneOf(std::initializer_list<std::pair<std::size_t, rc::Gen<T>>> pairs) {
    return gen::join(Pick<rc::Gen<T>>(pairs));
}

// ---- drives --------------------------------------------------------------------------------

rc::Gen<std::string> KmrRevision() {
    return Pick<std::string>({{8, "QM01"},
                              {4, "QM05"},
                              {3, "QM0F"},
                              {1, "QM00"},
                              {2, "QM10"},
                              {1, "0M03"},
                              {1, "0M04"},
                              {1, "QM99"}});
}

rc::Gen<std::string> Serial() {
    return Pick<std::string>(
        {{4, "KV730T000001"}, {2, "KV730T000002"}, {1, "KV730T000003"}, {1, ""}});
}

rc::Gen<bool> Rarely(std::size_t odds) {
    return Pick<bool>({{odds, false}, {1, true}});
}

rc::Gen<sim::DriveConfig> KmrConfig() {
    return gen::apply(
        [](std::string revision, std::string serial, int after, bool medium, bool tray, bool locked,
           std::array<std::uint8_t, 4> flashId, std::uint32_t buffer) {
            sim::DriveConfig c;
            c.revision = revision;
            c.serialNumber = serial;
            // After programming: the image's revision, its old one, or a third.
            c.revisionAfterProgram = after == 0 ? "" : after == 1 ? revision : "QM99";
            c.mediumPresent = medium;
            c.trayOpen = tray;
            c.lockedByOtherProgram = locked;
            c.flashId = flashId;
            c.bufferBytes = buffer;
            return c;
        },
        KmrRevision(), Serial(), Pick<int>({{8, 0}, {1, 1}, {1, 2}}), Rarely(4), Rarely(9),
        Rarely(9),
        Pick<std::array<std::uint8_t, 4>>({{8, {0xC2, 0xB6, 0x00, 0x03}},
                                           {1, {0xDA, 0xC8, 0x00, 0x00}},
                                           {1, {0xBF, 0xD6, 0x00, 0x01}},
                                           {1, {0xBF, 0xD8, 0x00, 0x07}}}),
        Pick<std::uint32_t>({{8, 2u << 20}, {1, 256u << 10}, {1, 16384u}}));
}

// Another maker's drive, or the same maker's other model; neither takes a flash.
rc::Gen<sim::DriveConfig> OtherConfig() {
    return gen::apply(
        [](bool sibling, std::string revision, bool zeros, bool medium, std::string serial) {
            sim::DriveConfig c;
            c.model = sim::DriveModel::Other;
            c.vendor = sibling ? "Korvane " : "ORBITECH";
            c.product = sibling ? "DVDRW KMR-731T  " : "DVD-ROM OD-1650 ";
            c.revision = sibling ? revision : "1A02";
            c.serialNumber = sibling ? serial : "OT1650A00417";
            c.otherFlashIdReply =
                zeros ? sim::FlashIdReply::Zeros : sim::FlashIdReply::InvalidOpcode;
            c.mediumPresent = medium;
            return c;
        },
        Rarely(2), KmrRevision(), Rarely(2), Rarely(3), Serial());
}

rc::Gen<sim::DriveConfig> Config() {
    return PickOneOf<sim::DriveConfig>({{8, KmrConfig()}, {1, OtherConfig()}});
}

// ---- faults --------------------------------------------------------------------------------

rc::Gen<int> Opcode() {
    return Pick<int>({{3, -1},
                      {3, 0x3B},
                      {3, 0x3C},
                      {2, 0x12},
                      {2, 0x00},
                      {1, 0x1B},
                      {1, 0x4A},
                      {1, 0xDF},
                      {1, 0x03}});
}

rc::Gen<std::uint32_t> First() {
    return PickOneOf<std::uint32_t>({{6, gen::inRange<std::uint32_t>(1, 8)},
                                     {3, gen::inRange<std::uint32_t>(1, 200)},
                                     {1, gen::inRange<std::uint32_t>(1, 2000)}});
}

rc::Gen<std::uint32_t> Count() {
    return PickOneOf<std::uint32_t>({{5, gen::just(1u)},
                                     {2, gen::inRange<std::uint32_t>(2, 4)},
                                     {2, gen::just(0u)},
                                     {1, gen::inRange<std::uint32_t>(4, 300)}});
}

rc::Gen<sim::Sense> AnySense() {
    return gen::apply(
        [](std::uint8_t key, std::pair<std::uint8_t, std::uint8_t> code) {
            return sim::Sense{key, code.first, code.second};
        },
        PickOneOf<std::uint8_t>({{3, Pick<std::uint8_t>({{1, 2}, {1, 3}, {1, 4}, {1, 5}, {1, 6}})},
                                 {1, gen::inRange<std::uint8_t>(0, 16)}}),
        Pick<std::pair<std::uint8_t, std::uint8_t>>({{1, {0x29, 0x00}},
                                                     {1, {0x04, 0x01}},
                                                     {1, {0x28, 0x00}},
                                                     {1, {0x3A, 0x00}},
                                                     {1, {0x24, 0x00}},
                                                     {1, {0x20, 0x00}},
                                                     {1, {0x44, 0x00}},
                                                     {1, {0x3F, 0x01}},
                                                     {1, {0x53, 0x02}},
                                                     {1, {0x26, 0x00}},
                                                     {1, {0x2C, 0x00}},
                                                     {1, {0x00, 0x00}}}));
}

sim::Fault Make(FaultKind kind, int opcode, std::uint32_t first, std::uint32_t count) {
    sim::Fault f;
    f.kind = kind;
    f.opcode = opcode;
    f.first = first;
    f.count = count;
    return f;
}

// The drive that a replaced fault puts in this one's place: one that answers alike, or one
// that differs in its revision, its serial number or its maker.
rc::Gen<sim::DriveConfig> Replacement(const sim::DriveConfig& own) {
    return PickOneOf<sim::DriveConfig>({{3, gen::just(own)},
                                        {2, gen::map(KmrRevision(),
                                                     [own](std::string revision) {
                                                         sim::DriveConfig c = own;
                                                         c.revision = revision;
                                                         return c;
                                                     })},
                                        {2, gen::map(Serial(),
                                                     [own](std::string serial) {
                                                         sim::DriveConfig c = own;
                                                         c.serialNumber = serial;
                                                         return c;
                                                     })},
                                        {1, Config()}});
}

rc::Gen<sim::Fault> Fault(const sim::DriveConfig& own) {
    const rc::Gen<sim::Fault> sense = gen::apply(
        [](int opcode, std::uint32_t first, std::uint32_t count, sim::Sense s) {
            sim::Fault f = Make(FaultKind::SenseData, opcode, first, count);
            f.sense = s;
            return f;
        },
        Opcode(), First(), Count(), AnySense());
    const rc::Gen<sim::Fault> transport = gen::apply(
        [](int opcode, std::uint32_t first, std::uint32_t count) {
            return Make(FaultKind::TransportFailure, opcode, first, count);
        },
        Opcode(), First(), Count());
    const rc::Gen<sim::Fault> shortTransfer = gen::apply(
        [](int opcode, std::uint32_t first, std::uint32_t count, std::uint32_t bytes) {
            sim::Fault f = Make(FaultKind::ShortTransfer, opcode, first, count);
            f.bytes = bytes;
            return f;
        },
        Opcode(), First(), Count(),
        Pick<std::uint32_t>(
            {{1, 0}, {1, 1}, {1, 4}, {1, 20}, {1, 35}, {1, 36}, {1, 95}, {1, 8192}, {1, 16383}}));
    const rc::Gen<sim::Fault> readBack = gen::apply(
        [](std::uint32_t block, std::uint32_t attempt, std::uint32_t first, std::uint32_t count) {
            sim::Fault f = Make(FaultKind::ReadBackDiffers, -1, first, count);
            f.block = block;
            f.attempt = attempt;
            return f;
        },
        PickOneOf<std::uint32_t>(
            {{3, gen::inRange<std::uint32_t>(0, 4)}, {1, gen::inRange<std::uint32_t>(0, 64)}}),
        gen::inRange<std::uint32_t>(0, 4), gen::inRange<std::uint32_t>(1, 3),
        Pick<std::uint32_t>({{1, 1}, {1, 0}, {1, 2}}));
    // A delay beyond the program's command time limit (30 hours) comes a few times at most.
    const rc::Gen<sim::Fault> delay = gen::mapcat(
        Pick<double>({{1, 0.5}, {1, 5.0}, {1, 30.0}, {1, 200.0}, {1, 3600.0}, {1, 108001.0}}),
        [](double seconds) {
            return gen::apply(
                [seconds](int opcode, std::uint32_t first, std::uint32_t count) {
                    sim::Fault f = Make(FaultKind::Delay, opcode, first, count);
                    f.seconds = seconds;
                    return f;
                },
                Opcode(), First(), seconds <= 1.0 ? Count() : gen::inRange<std::uint32_t>(1, 4));
        });
    const rc::Gen<sim::Fault> vanish = gen::apply(
        [](int opcode, std::uint32_t first) { return Make(FaultKind::Vanish, opcode, first, 1); },
        Opcode(), First());
    const rc::Gen<sim::Fault> replaced = gen::apply(
        [](int opcode, std::uint32_t first, sim::DriveConfig by) {
            sim::Fault f = Make(FaultKind::Replaced, opcode, first, 1);
            f.by = std::make_shared<const sim::Replacement>(sim::Replacement{std::move(by), {}});
            return f;
        },
        Pick<int>({{5, 0x12}, {2, -1}, {1, 0x00}, {1, 0x3B}, {1, 0x3C}}),
        gen::inRange<std::uint32_t>(1, 8), Replacement(own));
    return PickOneOf<sim::Fault>({{5, sense},
                                  {3, transport},
                                  {3, shortTransfer},
                                  {3, readBack},
                                  {2, delay},
                                  {2, replaced},
                                  {1, vanish}});
}

// ---- the machine ---------------------------------------------------------------------------

struct DrawnDrive {
    sim::DriveConfig config;
    std::vector<sim::Fault> faults;
    int letters = 1;  // CD-ROM letters that lead to it: 0 (ASPI only, or unreachable) to 2
    sim::AddressReply address = sim::AddressReply::Address;  // of a single letter
    bool openFails = false;                                  // of a single letter
    bool onAspi = true;
};

rc::Gen<DrawnDrive> Drive() {
    return gen::mapcat(Config(), [](sim::DriveConfig config) {
        return gen::apply(
            [config](std::vector<sim::Fault> faults, int letters, sim::AddressReply address,
                     bool openFails, bool onAspi) {
                return DrawnDrive{config, std::move(faults), letters, address, openFails, onAspi};
            },
            gen::mapcat(Pick<int>({{8, 0}, {6, 1}, {3, 2}, {2, 3}, {1, 4}}),
                        [config](int n) {
                            return gen::container<std::vector<sim::Fault>>(
                                static_cast<std::size_t>(n), Fault(config));
                        }),
            Pick<int>({{16, 1}, {2, 2}, {1, 0}}),
            Pick<sim::AddressReply>({{20, sim::AddressReply::Address},
                                     {1, sim::AddressReply::Fails},
                                     {1, sim::AddressReply::ZeroLength}}),
            Rarely(30), Pick<bool>({{3, true}, {1, false}}));
    });
}

struct DrawnMachine {
    bool nt = true;
    bool aspi = false;
    std::uint8_t aspiStatus = 0x01;
    bool asynchronous = true;
    bool tokenOpenFails = false;
    bool lacksShutdownPrivilege = false;
    bool restartRefused = false;
    std::vector<DrawnDrive> drives;
};

// The machine file: C: fixed, then the drives' letters from D: on in drive order, each drive at
// port 1, target its index (an address of its own, the same on both of its letters), and on the
// ASPI manager's one adapter at target its index.
nlohmann::json MachineFile(const DrawnMachine& m) {
    simapp::MachineSpec described;
    described.description = "drawn by the random schedules";
    described.os.ntFamily = m.nt;
    described.os.tokenOpenFails = m.tokenOpenFails;
    described.os.lacksShutdownPrivilege = m.lacksShutdownPrivilege;
    described.os.restartRefused = m.restartRefused;
    sim::Letter c;
    c.letter = 'C';
    c.type = sim::LetterType::Fixed;
    described.letters.push_back(c);
    simapp::AspiAdapterSpec adapter;
    char next = 'D';
    for (std::size_t i = 0; i < m.drives.size(); ++i) {
        const DrawnDrive& d = m.drives[i];
        simapp::DriveSpec drive{"", d.config, d.faults};
        for (int k = 0; k < d.letters && next <= 'Z'; ++k) {
            sim::Letter l;
            l.letter = next++;
            l.type = sim::LetterType::CdRom;
            l.drive = static_cast<int>(i);
            l.port = 1;
            l.target = static_cast<std::uint8_t>(i);
            if (d.letters == 1) {
                l.addressReply = d.address;
                l.openFails = d.openFails;
            }
            if (drive.name.empty()) {
                drive.name = std::string(1, l.letter);
            }
            described.letters.push_back(l);
        }
        if (drive.name.empty()) {
            drive.name = "drive" + std::to_string(i);
        }
        described.drives.push_back(drive);
        if (d.onAspi) {
            adapter.devices.push_back({static_cast<std::uint8_t>(i), 0, 5, static_cast<int>(i)});
        }
    }
    described.aspi.installed = m.aspi;
    described.aspi.supportStatus = m.aspiStatus;
    described.aspi.asynchronous = m.asynchronous;
    if (m.aspi) {
        described.aspi.adapters.push_back(adapter);
    }
    return simapp::MachineToJson(described);
}

rc::Gen<DrawnMachine> Machine() {
    return gen::apply(
        [](bool nt, bool aspiOnNt, bool aspiOn95, std::uint8_t status, bool asynchronous,
           bool token, bool privilege, bool refused, std::vector<DrawnDrive> drives) {
            // The 95 line reaches drives only through an ASPI manager: mostly it has one.
            return DrawnMachine{
                nt,      nt ? aspiOnNt : aspiOn95, status, asynchronous, token, privilege,
                refused, std::move(drives)};
        },
        Pick<bool>({{4, true}, {1, false}}), Rarely(1), Pick<bool>({{1, false}, {6, true}}),
        Pick<std::uint8_t>({{16, 0x01}, {1, 0xE3}, {1, 0xE2}, {1, 0xE1}, {1, 0xE4}}),
        Pick<bool>({{1, true}, {1, false}}), Rarely(20), Rarely(20), Rarely(10),
        gen::mapcat(
            PickOneOf<int>({{5, gen::just(1)}, {4, gen::inRange(2, 5)}, {1, gen::inRange(5, 17)}}),
            [](int n) {
                return gen::container<std::vector<DrawnDrive>>(static_cast<std::size_t>(n),
                                                               Drive());
            }));
}

// ---- the package ---------------------------------------------------------------------------

rc::Gen<std::string> Field(std::initializer_list<std::pair<std::size_t, std::string>> choices) {
    return Pick<std::string>(choices);
}

rc::Gen<EntrySpec> Entry() {
    // The usual entry: a range of the KMR-730T's revisions.
    const rc::Gen<EntrySpec> usual = gen::apply(
        [](std::string low, std::string high) {
            return EntrySpec{low, high, "Korvane ", "DVDRW KMR-730T  "};
        },
        Field({{6, "QM01"}, {1, "QM00"}, {1, ""}, {1, "QM05"}}),
        Field({{6, "QM0F"}, {1, "QM10"}, {1, ""}, {1, "QM05"}}));
    const rc::Gen<EntrySpec> mixed = gen::apply(
        [](std::string low, std::string high, std::string vendor, std::string product) {
            return EntrySpec{low, high, vendor, product};
        },
        Field({{2, ""}, {1, "QM01"}, {1, "0M03"}, {1, "1A00"}, {1, "#FLS"}}),
        Field({{2, ""}, {1, "QM0F"}, {1, "0M03"}, {1, "1A99"}, {1, "#"}}),
        Field({{2, ""}, {2, "Korvane "}, {1, "Korvane"}, {1, "ORBITECH"}, {1, "#"}}),
        Field({{2, ""},
               {2, "DVDRW KMR-730T  "},
               {1, "DVDRW KMR-730T"},
               {1, "DVD-ROM OD-1650 "},
               {1, "DVDRW KMR-731T  "},
               {1, "#"}}));
    return PickOneOf<EntrySpec>({{8, usual}, {2, mixed}, {1, gen::just(EntrySpec{})}});
}

enum class Range { Usable, NotWholeBlocks, Empty, PastTheArea };

rc::Gen<BankSpec> Bank() {
    const rc::Gen<std::uint32_t> blocks =
        PickOneOf<std::uint32_t>({{4, gen::just(1u)},
                                  {4, gen::inRange<std::uint32_t>(2, 5)},
                                  {2, gen::inRange<std::uint32_t>(5, 17)},
                                  {1, gen::inRange<std::uint32_t>(17, 65)}});
    return gen::mapcat(blocks, [](std::uint32_t n) {
        return gen::apply(
            [n](std::uint32_t startBlock, Range range, ImageKind image, std::string revision,
                bool sameRevision, std::string newRevision, std::vector<EntrySpec> entries) {
                BankSpec b;
                b.entries = std::move(entries);
                b.start = startBlock * kBlock;
                b.size = n * kBlock;
                switch (range) {
                    case Range::Usable:
                        break;
                    case Range::NotWholeBlocks:
                        b.size -= 100;
                        break;
                    case Range::Empty:
                        b.size = 0;
                        break;
                    case Range::PastTheArea:
                        b.start = kImageArea - b.size + kBlock;
                        break;
                }
                b.image = image;
                b.imageRevision = revision;
                b.newRevision = sameRevision ? revision : newRevision;
                return b;
            },
            PickOneOf<std::uint32_t>(
                {{5, gen::just(0u)}, {4, gen::inRange<std::uint32_t>(0, 65 - n)}}),
            Pick<Range>({{30, Range::Usable},
                         {1, Range::NotWholeBlocks},
                         {1, Range::Empty},
                         {1, Range::PastTheArea}}),
            Pick<ImageKind>({{12, ImageKind::Valid},
                             {1, ImageKind::BadChecksum},
                             {1, ImageKind::Garbage},
                             {1, ImageKind::None}}),
            Field({{4, "QM0F"}, {1, "QM05"}, {1, "QM10"}, {1, "QM02"}}),
            Pick<bool>({{5, true}, {1, false}}), Field({{1, "QM0F"}, {1, "QM10"}, {1, "QM01"}}),
            gen::mapcat(Pick<int>({{6, 1}, {2, 2}, {1, 3}, {1, 0}}), [](int k) {
                return gen::container<std::vector<EntrySpec>>(static_cast<std::size_t>(k), Entry());
            }));
    });
}

rc::Gen<char> Flag(std::size_t off, std::size_t on) {
    return PickOneOf<char>(
        {{off, gen::just('0')}, {on, gen::just('1')}, {1, gen::inRange('2', ':')}});
}

rc::Gen<PackageSpec> Package() {
    const rc::Gen<std::vector<BankSpec>> banks =
        gen::mapcat(Pick<int>({{6, 1}, {3, 2}, {1, 3}, {1, 4}}), [](int n) {
            return gen::container<std::vector<BankSpec>>(static_cast<std::size_t>(n), Bank());
        });
    return gen::mapcat(banks, [](std::vector<BankSpec> drawn) {
        const char count = static_cast<char>('0' + drawn.size());
        return gen::apply(
            [drawn](std::array<char, 9> flags, char howMany, bool unfilled) {
                PackageSpec p;
                p.n2oMessage = flags[0];
                p.chkDisc = flags[1];
                p.bootCode = flags[2];
                p.reboot = flags[3];
                p.autoMode = flags[4];
                p.closeAp = flags[5];
                p.warning = flags[6];
                p.admin = flags[7];
                p.nbWarning = flags[8];
                p.howManyBin = howMany;
                p.banks = drawn;
                p.imageAreaUnfilled = unfilled;
                return p;
            },
            gen::apply([](char a, char b, char c, char d, char e, char f, char g, char h,
                          char i) { return std::array<char, 9>{a, b, c, d, e, f, g, h, i}; },
                       Flag(3, 2), Flag(4, 1), Flag(1, 6), Flag(3, 3), Flag(3, 1), Flag(3, 2),
                       Flag(3, 2), Flag(4, 1), Flag(4, 1)),
            PickOneOf<char>(
                {{17, gen::just(count)}, {1, gen::just('0')}, {2, gen::inRange('1', '5')}}),
            Rarely(40));
    });
}

// ---- the user ------------------------------------------------------------------------------

rc::Gen<UserSpec> User() {
    return gen::apply(
        [](std::vector<std::string> answers, std::string byDefault, std::optional<int> choose,
           bool update) {
            return UserSpec{std::move(answers), byDefault, choose, update};
        },
        gen::mapcat(Pick<int>({{3, 0}, {1, 1}, {1, 2}, {1, 4}}),
                    [](int n) {
                        return gen::container<std::vector<std::string>>(
                            static_cast<std::size_t>(n),
                            Pick<std::string>({{4, "yes"}, {1, "no"}}));
                    }),
        Pick<std::string>({{9, "yes"}, {1, "no"}}),
        PickOneOf<std::optional<int>>(
            {{3, gen::just(std::optional<int>{})},
             {1, gen::map(gen::inRange(0, 5), [](int i) { return std::optional<int>(i); })}}),
        Pick<bool>({{9, true}, {1, false}}));
}

}  // namespace

rc::Gen<ChaosCase> CaseGen() {
    return gen::apply(
        [](DrawnMachine machine, PackageSpec package, UserSpec user) {
            // A package that updates by itself gets no press of Update: one update a run.
            if (package.autoMode != '0') {
                user.update = false;
            }
            return ChaosCase{MachineFile(machine), std::move(package), std::move(user)};
        },
        Machine(), Package(), User());
}

void showValue(const ChaosCase& c, std::ostream& os) {
    os << ToJson(c).dump();
}

}  // namespace quiver::chaos
