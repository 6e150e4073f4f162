#include "chaos_check.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstring>
#include <map>
#include <optional>
#include <set>
#include <sstream>
#include <tuple>

#include "package/package_layout.h"

namespace quiver::chaos {

namespace {

using ui::headless::EventKind;

constexpr char kSuccess[] = "Firmware has been updated successfully !";
constexpr char kFailure[] = "Unable to flash firmware. Please contact with your vendor !";
constexpr std::uint8_t kInquiry = 0x12;
constexpr std::uint8_t kWriteBuffer = 0x3B;
constexpr std::uint8_t kReadBuffer = 0x3C;
constexpr std::uint32_t kIdentityBytes = 36;  // through the revision
// The program's time limit of a command: a run shorter than this cannot have timed one out.
constexpr double kCommandTimeLimit = 108000.0;

std::string Padded(const std::string& text, std::size_t width) {
    std::string out = text.substr(0, std::min(width, text.size()));
    out.resize(width, ' ');
    return out;
}

struct Identity {
    std::string vendor, product, revision, serial;
    bool operator==(const Identity&) const = default;
    bool operator<(const Identity& o) const {
        return std::tie(vendor, product, revision, serial) <
               std::tie(o.vendor, o.product, o.revision, o.serial);
    }
    std::string Text() const { return vendor + product + " " + revision + " #" + serial; }
};

Identity IdentityOf(const sim::DriveConfig& c) {
    return {Padded(c.vendor, 8), Padded(c.product, 16), Padded(c.revision, 4), c.serialNumber};
}

bool Good(const sim::LoggedCommand& c) {
    return c.completion == sim::Completion::Good;
}
bool IsStandardInquiry(const sim::LoggedCommand& c) {
    return c.cdb[0] == kInquiry && (c.cdb[1] & 0x01) == 0;
}
std::uint32_t Get24(const sim::LoggedCommand& c, std::size_t at) {
    return (std::uint32_t{c.cdb[at]} << 16) | (std::uint32_t{c.cdb[at + 1]} << 8) | c.cdb[at + 2];
}
// WRITE BUFFER or a vendor-specific command: what only a flash may send.
bool IsWriting(const sim::LoggedCommand& c) {
    return c.cdb[0] == kWriteBuffer || c.cdb[0] >= 0xC0;
}
bool IsProgram(const sim::LoggedCommand& c) {
    return c.cdb[0] == kWriteBuffer && (c.cdb[9] == 0x80 || c.cdb[9] == 0xA0);
}
// An image block written into the download buffer: mode 5, buffer 1, data, one block.
bool IsImageWrite(const sim::LoggedCommand& c) {
    return c.cdb[0] == kWriteBuffer && (c.cdb[1] & 0x1F) == 5 && c.cdb[2] == 1 && c.cdb[9] == 0 &&
           Get24(c, 6) == kBlock;
}
bool IsImageRead(const sim::LoggedCommand& c) {
    return c.cdb[0] == kReadBuffer && (c.cdb[1] & 0x1F) == 1 && c.cdb[2] == 1 &&
           Get24(c, 6) == kBlock;
}

// The four characters a revision check compares, a shorter text padded with blanks.
bool SameRevision(const std::string& a, const std::string& b) {
    return Padded(a, 4) == Padded(b, 4);
}

// The package as the check reads it, following the documented slot rules, apart from the
// program's own reader.
class PackageOracle {
  public:
    explicit PackageOracle(const std::vector<std::uint8_t>& block) : block_(block) {}

    int Flag(std::size_t offset, std::size_t size) const {
        const std::string text = Slot(offset, size);
        const char last = text.empty() ? '\0' : text.back();
        return last >= '0' && last <= '9' ? last - '0' : 0;
    }
    bool AutoMode() const { return Flag(offsetof(PackageHeader, auto_mode), 11) != 0; }
    bool Reboot() const { return Flag(offsetof(PackageHeader, reboot), 9) != 0; }

    // The bank (1 to 4) that admits the identity, if any: the first one, in order, whose range
    // is usable and one of whose entries admits it.
    std::optional<int> Admitting(const Identity& id) const {
        if (std::memcmp(block_.data() + kImageAreaOffset, kUnfilledImageMarker,
                        kUnfilledImageTestLength) == 0) {
            return std::nullopt;
        }
        const int banks = std::min(Flag(offsetof(PackageHeader, how_many_bin), 20), 4);
        for (int bank = 1; bank <= banks; ++bank) {
            if (!RangeUsable(bank)) {
                continue;
            }
            for (int e = 1; e <= kEntriesPerBank; ++e) {
                const std::size_t at =
                    offsetof(PackageHeader, constraints) +
                    static_cast<std::size_t>((bank - 1) * kEntriesPerBank + e - 1) * 48;
                const std::string low = Slot(at, 8).substr(0, 4);
                const std::string high = Slot(at + 8, 8).substr(0, 4);
                const std::string vendor = Slot(at + 16, 12).substr(0, 8);
                const std::string product = Slot(at + 28, 20).substr(0, 16);
                if (e == 1 && low == "#FLS" && high.rfind('#', 0) == 0 &&
                    vendor.rfind('#', 0) == 0 && product.rfind('#', 0) == 0) {
                    return bank;  // never filled: admits every drive
                }
                if ((vendor.empty() || vendor == id.vendor) &&
                    (product.empty() || product == id.product) &&
                    (low.empty() || id.revision >= low) && (high.empty() || id.revision <= high)) {
                    return bank;
                }
            }
        }
        return std::nullopt;
    }

    std::uint32_t Start(int bank) const { return static_cast<std::uint32_t>(Number(bank, true)); }
    std::uint32_t Size(int bank) const { return static_cast<std::uint32_t>(Number(bank, false)); }
    std::string NewRevision(int bank) const {
        return Slot(offsetof(PackageHeader, new_fw) + static_cast<std::size_t>(bank - 1) * 16, 16)
            .substr(kNewFwValueOffset);
    }
    const std::uint8_t* Image(int bank) const {
        return block_.data() + kImageAreaOffset + Start(bank);
    }

  private:
    // The slot's text up to its first zero byte.
    std::string Slot(std::size_t offset, std::size_t size) const {
        const char* at = reinterpret_cast<const char*>(block_.data() + offset);
        return std::string(at, strnlen(at, size));
    }
    // BIN_STARTn or BIN_SIZEn: blanks, a sign, digits; no digits read as 0.
    std::int64_t Number(int bank, bool start) const {
        const std::size_t i = static_cast<std::size_t>(bank - 1);
        const std::string text =
            start ? Slot(offsetof(PackageHeader, bin_start) + i * 22, 22).substr(11)
                  : Slot(offsetof(PackageHeader, bin_size) + i * 21, 21).substr(10);
        std::size_t k = 0;
        while (k < text.size() && std::isspace(static_cast<unsigned char>(text[k]))) {
            ++k;
        }
        bool negative = false;
        if (k < text.size() && (text[k] == '+' || text[k] == '-')) {
            negative = text[k++] == '-';
        }
        std::int64_t value = 0;
        for (; k < text.size() && std::isdigit(static_cast<unsigned char>(text[k])) &&
               value < (std::int64_t{1} << 40);
             ++k) {
            value = value * 10 + (text[k] - '0');
        }
        return negative ? -value : value;
    }
    bool RangeUsable(int bank) const {
        const std::int64_t start = Number(bank, true);
        const std::int64_t size = Number(bank, false);
        return start >= 0 && size > 0 && size % kBlock == 0 && start + size <= kImageArea;
    }

    const std::vector<std::uint8_t>& block_;
};

// A command of a chain, by drive and position in that drive's log.
struct At {
    std::size_t drive = 0;
    std::size_t index = 0;
};

class Checker {
  public:
    Checker(const std::vector<std::uint8_t>& package, const RunView& run)
        : package_(package), run_(run) {}

    std::vector<Finding> Check() {
        for (std::size_t i = 0; i < run_.chains.size(); ++i) {
            CheckAdmittedOnly(i);
            CheckVerifiedImageOnce(i);
        }
        CheckOutcome();
        CheckRunEnds();
        CheckRestart();
        return std::move(findings_);
    }

  private:
    void Add(int property, const std::string& text) { findings_.push_back({property, text}); }
    std::string Name(std::size_t chain) const { return run_.machine.drives[chain].name; }

    // The commands a chain got after the scan, in the order they came.
    std::vector<At> AfterScan(const Chain& chain) const {
        std::vector<At> out;
        for (std::size_t d = 0; d < chain.size(); ++d) {
            for (std::size_t k = chain[d].scanCommands; k < chain[d].log.size(); ++k) {
                out.push_back({d, k});
            }
        }
        return out;
    }

    // The drive of the chain that reported its identity last before the first writing command
    // after the scan; nullopt when no command wrote, and chain.size() when none reported.
    std::optional<std::size_t> IdentifiedBeforeWriting(const Chain& chain) const {
        std::size_t identified = chain.size();
        for (const At& at : AfterScan(chain)) {
            const sim::LoggedCommand& c = chain[at.drive].log[at.index];
            if (IsWriting(c)) {
                return identified;
            }
            if (IsStandardInquiry(c) && Good(c)) {
                identified = at.drive;
            }
        }
        return std::nullopt;
    }

    // The bank that admits the drive the chain identified before it was written to.
    std::optional<int> BankOf(const Chain& chain) const {
        const std::optional<std::size_t> d = IdentifiedBeforeWriting(chain);
        if (!d || *d >= chain.size()) {
            return std::nullopt;
        }
        return package_.Admitting(IdentityOf(chain[*d].config));
    }

    void CheckAdmittedOnly(std::size_t i) {
        const Chain& chain = run_.chains[i];
        const std::optional<std::size_t> identified = IdentifiedBeforeWriting(chain);
        if (!identified) {
            return;
        }
        if (*identified >= chain.size()) {
            Add(1, Name(i) + ": written to without its identity read since the scan");
            return;
        }
        // What the scan can have recorded behind this drive's letters and addresses: the texts
        // of a drive that answered the standard request, with its own serial number or that of
        // any answer to the serial number page (none: a drive without the page), as a drive put
        // in the place of another between the two requests gives. A reply cut short still
        // counts as the drive's: whether the package admits what the drive really is, is
        // checked below.
        std::set<Identity> seen;
        std::set<std::string> serials;
        for (const DriveView& d : chain) {
            for (std::size_t k = 0; k < d.scanCommands; ++k) {
                const sim::LoggedCommand& c = d.log[k];
                if (c.cdb[0] == kInquiry && !IsStandardInquiry(c) && c.cdb[2] == 0x80) {
                    if (Good(c)) {
                        serials.insert(d.config.serialNumber);
                    } else if (c.completion == sim::Completion::CheckCondition &&
                               c.sense.key == 5) {
                        serials.insert("");
                    }
                }
            }
        }
        for (const DriveView& d : chain) {
            for (std::size_t k = 0; k < d.scanCommands; ++k) {
                const sim::LoggedCommand& c = d.log[k];
                if (IsStandardInquiry(c) && Good(c)) {
                    Identity id = IdentityOf(d.config);
                    seen.insert(id);
                    for (const std::string& serial : serials) {
                        id.serial = serial;
                        seen.insert(id);
                    }
                }
            }
        }
        const Identity now = IdentityOf(chain[*identified].config);
        if (seen.count(now) == 0) {
            std::string scan;
            for (const Identity& s : seen) {
                scan += (scan.empty() ? "" : ", ") + s.Text();
            }
            Add(1, Name(i) + ": written to a drive reporting " + now.Text() +
                       ", which the scan did not see there (it saw: " +
                       (scan.empty() ? std::string("nothing") : scan) + ")");
        }
        if (!package_.Admitting(now)) {
            Add(1, Name(i) + ": written to a drive the package does not admit: " + now.Text());
        }
    }

    // Per chain: a drive put in the place of another during the flash gets the rest of what
    // was meant for the other (the updater cannot tell), so the commands along the letters and
    // addresses are what the updater answers for.
    void CheckVerifiedImageOnce(std::size_t i) {
        const Chain& chain = run_.chains[i];
        const std::optional<int> bank = BankOf(chain);
        std::vector<sim::LoggedCommand> log;
        for (const DriveView& d : chain) {
            log.insert(log.end(), d.log.begin(), d.log.end());
        }
        std::size_t programs = 0;
        for (std::size_t k = 0; k < log.size(); ++k) {
            if (!IsProgram(log[k])) {
                continue;
            }
            ++programs;
            const std::string where = Name(i) + ": program command at entry " + std::to_string(k);
            if (!bank) {
                Add(2, where + " for a drive without an admitted image");
                continue;
            }
            const std::string problem = VerifiedBefore(log, k, *bank);
            if (!problem.empty()) {
                Add(2, where + ": " + problem);
            }
        }
        if (programs > 1) {
            Add(2, Name(i) + ": " + std::to_string(programs) + " program commands");
        }
    }

    // Empty when every block of the bank's image was written and read back equal since the
    // last image write at offset 0 before log entry `program`; else what was wrong.
    std::string VerifiedBefore(const std::vector<sim::LoggedCommand>& log, std::size_t program,
                               int bank) const {
        std::size_t start = program;
        for (std::size_t k = program; k-- > 0;) {
            if (IsImageWrite(log[k]) && Get24(log[k], 3) == 0) {
                start = k;
                break;
            }
        }
        if (start == program) {
            return "no image was written before it";
        }
        const std::uint32_t size = package_.Size(bank);
        const std::uint32_t blocks = size / kBlock;
        const std::uint8_t* image = package_.Image(bank);
        for (std::size_t k = start; k < program; ++k) {
            const sim::LoggedCommand& c = log[k];
            if (c.cdb[0] == kWriteBuffer &&
                (!IsImageWrite(c) || Get24(c, 3) % kBlock != 0 || Get24(c, 3) >= size)) {
                return "the buffer was written otherwise after the image began (log entry " +
                       std::to_string(k) + ": " + c.CdbHex() + ")";
            }
        }
        for (std::uint32_t b = 0; b < blocks; ++b) {
            const std::uint64_t digest = sim::DataDigest(image + std::size_t{b} * kBlock, kBlock);
            constexpr std::size_t kNone = static_cast<std::size_t>(-1);
            std::size_t write = kNone;
            std::size_t read = kNone;
            for (std::size_t k = start; k < program; ++k) {
                if (Get24(log[k], 3) != b * kBlock) {
                    continue;
                }
                if (IsImageWrite(log[k])) {
                    write = k;
                    read = kNone;
                } else if (IsImageRead(log[k]) && write != kNone) {
                    read = k;
                }
            }
            const std::string block =
                "block " + std::to_string(b) + " of " + std::to_string(blocks);
            if (write == kNone) {
                return block + " was not written in the attempt (from log entry " +
                       std::to_string(start) + ")";
            }
            const sim::LoggedCommand& w = log[write];
            if (!Good(w) || w.transferred != kBlock || w.dataDigest != digest) {
                return block + " was not written whole and unchanged (log entry " +
                       std::to_string(write) + ")";
            }
            if (read == kNone) {
                return block + " was not read back after its write (log entry " +
                       std::to_string(write) + ")";
            }
            const sim::LoggedCommand& r = log[read];
            if (!Good(r) || r.transferred != kBlock || r.dataDigest != digest) {
                return block + " did not read back whole and equal (log entry " +
                       std::to_string(read) + ")";
            }
        }
        return {};
    }

    // A line of the drive list: its chain, and the identity and revision it shows.
    struct ListItem {
        std::optional<std::size_t> chain;
        Identity identity;   // vendor, product, revision
        bool clear = false;  // the line shows whole texts, so the check can read it
    };

    ListItem ParseLine(const std::string& line) const {
        ListItem item;
        // "%2d-%d-%d-%d %.2s%24s %4s": the address, a blank, the letter (none for ASPI), the
        // identity in 24 columns, a blank, the revision in 4.
        std::size_t k = 0;
        while (k < line.size() && line[k] == ' ') {
            ++k;
        }
        const std::size_t blank = line.find(' ', k);
        if (blank == std::string::npos) {
            return item;
        }
        int address[4] = {-1, -1, -1, -1};
        if (std::sscanf(line.substr(k, blank - k).c_str(), "%d-%d-%d-%d", &address[0], &address[1],
                        &address[2], &address[3]) != 4) {
            return item;
        }
        const std::string rest = line.substr(blank + 1);
        if (rest.size() != 29 && rest.size() != 31) {
            return item;
        }
        const std::string root = rest.substr(0, rest.size() - 29);
        const std::string identity = rest.substr(root.size(), 24);
        item.identity.vendor = identity.substr(0, 8);
        item.identity.product = identity.substr(8, 16);
        item.identity.revision = rest.substr(root.size() + 25, 4);
        item.clear = identity[0] != ' ' && item.identity.revision[0] != ' ';
        const simapp::MachineSpec& m = run_.machine;
        if (!root.empty()) {
            for (const sim::Letter& l : m.letters) {
                if (l.type == sim::LetterType::CdRom && l.letter == root[0] && l.drive >= 0) {
                    item.chain = static_cast<std::size_t>(l.drive);
                }
            }
        } else if (address[0] >= 0 &&
                   static_cast<std::size_t>(address[0]) < m.aspi.adapters.size()) {
            for (const simapp::AspiDeviceSpec& d :
                 m.aspi.adapters[static_cast<std::size_t>(address[0])].devices) {
                if (d.target == address[2] && d.lun == address[3] && d.drive >= 0) {
                    item.chain = static_cast<std::size_t>(d.drive);
                }
            }
        }
        return item;
    }

    // Whether a target chain was flashed (a program command completed GOOD) and what it
    // reported afterwards: true when it reported its old or the new revision, or nothing;
    // nullopt when the check cannot tell.
    struct Outcome {
        bool programmed = false;
        std::optional<bool> revisionAccepted;
    };
    Outcome OutcomeOf(std::size_t i, const ListItem& item, int bank) const {
        const Chain& chain = run_.chains[i];
        Outcome out;
        std::optional<At> programmed;
        for (std::size_t d = 0; d < chain.size(); ++d) {
            for (std::size_t k = 0; k < chain[d].log.size(); ++k) {
                if (IsProgram(chain[d].log[k]) && Good(chain[d].log[k])) {
                    programmed = At{d, k};
                }
            }
        }
        if (!programmed) {
            return out;
        }
        out.programmed = true;
        // The last whole identity reply after the program command.
        std::optional<std::size_t> reported;
        for (std::size_t d = programmed->drive; d < chain.size(); ++d) {
            const std::size_t from = d == programmed->drive ? programmed->index + 1 : 0;
            for (std::size_t k = from; k < chain[d].log.size(); ++k) {
                const sim::LoggedCommand& c = chain[d].log[k];
                if (IsStandardInquiry(c) && Good(c) && c.transferred >= kIdentityBytes) {
                    reported = d;
                }
            }
        }
        if (!reported) {
            out.revisionAccepted = true;  // nothing new reported: the old revision stands
        } else if (!chain[*reported].revision.empty()) {
            const std::string now = chain[*reported].revision;
            out.revisionAccepted = SameRevision(now, item.identity.revision) ||
                                   SameRevision(now, package_.NewRevision(bank));
        }
        return out;
    }

    void CheckOutcome() {
        int success = 0;
        int failure = 0;
        for (const auto& e : run_.events) {
            if (e.kind == EventKind::Dialog) {
                success += e.text == kSuccess ? 1 : 0;
                failure += e.text == kFailure ? 1 : 0;
            }
        }
        const int completions = static_cast<int>(run_.completions.size());
        if (success > 0 && failure > 0) {
            Add(3, "both the success and the failure dialog came");
        }
        if (success + failure != completions) {
            Add(3, std::to_string(completions) + " update(s) completed with " +
                       std::to_string(success) + " success and " + std::to_string(failure) +
                       " failure dialog(s)");
        }
        if (completions != 1 || success + failure != 1) {
            return;
        }
        // The targets: the chosen drive, or in AUTOMODE every admitted one.
        const CompletionView& done = run_.completions.front();
        std::vector<ListItem> items;
        for (const std::string& line : done.list) {
            items.push_back(ParseLine(line));
        }
        std::map<std::size_t, std::pair<ListItem, int>> targets;
        bool clear = true;
        for (std::size_t k = 0; k < items.size(); ++k) {
            const bool chosen = package_.AutoMode() || static_cast<int>(k) == done.selection;
            const std::optional<int> bank = package_.Admitting(items[k].identity);
            if (!chosen || !bank) {
                continue;
            }
            clear = clear && items[k].clear && items[k].chain.has_value();
            if (items[k].chain) {
                targets.emplace(*items[k].chain, std::make_pair(items[k], *bank));
            }
        }
        for (const ListItem& item : items) {
            clear = clear && item.clear;
        }
        if (!clear || targets.empty()) {
            return;
        }
        bool allFlashed = true;
        bool known = true;
        std::string failed;
        for (const auto& [chain, target] : targets) {
            const Outcome o = OutcomeOf(chain, target.first, target.second);
            known = known && o.revisionAccepted.has_value();
            const bool ok = o.programmed && o.revisionAccepted.value_or(true);
            if (!ok) {
                allFlashed = false;
                failed += (failed.empty() ? "" : ", ") + Name(chain) +
                          (o.programmed ? " (reports another revision)" : " (not programmed)");
            }
            if (success > 0 && !o.programmed) {
                Add(3, "the success dialog came although " + Name(chain) + " was never programmed");
            } else if (success > 0 && !ok) {
                Add(3, "the success dialog came although " + Name(chain) +
                           " reports neither its old nor its new revision");
            }
        }
        // A command may have outlasted its time limit only in a run this long; then the program
        // can rightly fail a drive whose program command the drive completed.
        if (failure > 0 && allFlashed && known && run_.emulatedSeconds < kCommandTimeLimit) {
            Add(3,
                "the failure dialog came although every target was programmed and reports "
                "its old or its new revision");
        }
    }

    void CheckRunEnds() {
        if (!run_.stopped.empty()) {
            Add(4, "the run was stopped: " + run_.stopped);
        }
        for (const auto& e : run_.events) {
            if (e.kind == EventKind::Exception) {
                Add(4, "an exception escaped a handler: " + e.text);
            }
        }
        if (run_.workersLeft > 0) {
            Add(4, "the program ended with " + std::to_string(run_.workersLeft) +
                       " flashing worker(s) still running");
        }
    }

    void CheckRestart() {
        if (run_.restarts.size() > 1) {
            Add(5, std::to_string(run_.restarts.size()) + " restart requests");
        }
        for (const RestartView& r : run_.restarts) {
            if (r.successDialogs == 0 || r.failureDialogs > 0) {
                Add(5, "a restart was requested without a success before it");
            }
            if (!package_.Reboot()) {
                Add(5, "a restart was requested although the package does not ask for one");
            }
        }
    }

    PackageOracle package_;
    const RunView& run_;
    std::vector<Finding> findings_;
};

}  // namespace

std::vector<Finding> CheckRun(const std::vector<std::uint8_t>& package, const RunView& run) {
    return Checker(package, run).Check();
}

std::string Describe(const std::vector<Finding>& findings) {
    std::ostringstream out;
    for (const Finding& f : findings) {
        out << "property " << f.property << ": " << f.text << "\n";
    }
    return out.str();
}

}  // namespace quiver::chaos
