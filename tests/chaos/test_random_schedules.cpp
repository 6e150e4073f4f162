// Random machines, packages, fault schedules and answers, each run through the whole program on
// the emulated PC to its end, and the flash invariants checked after every case. RapidCheck
// draws the cases (RC_PARAMS sets their number and the seed) and shrinks a failing one; the
// smallest is written as files quiver-sim replays, into QUIVER_CHAOS_OUT (default
// "random-schedule-failure" in the working directory). At the end the test prints how many
// cases ran, how many drives and faults they held, how many faults fired, how many program
// commands the drives got, and the seed.
#include <gtest/gtest.h>

#include <rapidcheck.h>
#include <rapidcheck/detail/Configuration.h>
#include <rapidcheck/gtest.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "chaos_case.h"
#include "chaos_check.h"
#include "chaos_gen.h"
#include "chaos_run.h"

namespace quiver::chaos {
namespace {

struct Totals {
    std::uint64_t cases = 0;
    std::uint64_t drives = 0;
    std::uint64_t faults = 0;
    std::uint64_t fired = 0;
    std::uint64_t programs = 0;
    std::uint64_t commands = 0;
    std::uint64_t failed = 0;
};

std::string OutputDirectory() {
    const char* dir = std::getenv("QUIVER_CHAOS_OUT");
    return dir != nullptr && *dir != '\0' ? dir : "random-schedule-failure";
}

// Real time a single case may take before it counts as hung (a sanitizer build is slow).
std::chrono::seconds RealLimit() {
    const char* text = std::getenv("QUIVER_CHAOS_CASE_SECONDS");
    const long seconds = text != nullptr ? std::strtol(text, nullptr, 10) : 0;
    return std::chrono::seconds(seconds > 0 ? seconds : 120);
}

void Count(const RunView& run, Totals& totals) {
    ++totals.cases;
    totals.drives += run.chains.size();
    totals.commands += run.commands;
    for (const Chain& chain : run.chains) {
        for (const DriveView& d : chain) {
            totals.faults += d.faults.size();
            for (std::uint32_t f : d.firings) {
                totals.fired += f > 0 ? 1 : 0;
            }
            for (const sim::LoggedCommand& c : d.log) {
                totals.programs += c.cdb[0] == 0x3B && (c.cdb[9] == 0x80 || c.cdb[9] == 0xA0);
            }
        }
    }
}

// How a run ended, for the distribution RapidCheck prints.
std::string Ending(const RunView& run) {
    for (const auto& e : run.events) {
        if (e.kind != ui::headless::EventKind::Dialog) {
            continue;
        }
        if (e.text.rfind("Firmware has been updated", 0) == 0) {
            return "updated";
        }
        if (e.text.rfind("Unable to flash", 0) == 0) {
            return "update failed";
        }
        if (e.text.rfind("No matched drive", 0) == 0) {
            return "no drive admitted";
        }
        if (e.text.rfind("No F/W", 0) == 0) {
            return "no image in the package";
        }
    }
    return run.completions.empty() ? "no update" : "update without an ending";
}

TEST(RandomSchedules, FlashInvariantsHoldOnEveryMachine) {
    Totals totals;
    const std::string out = OutputDirectory();
    const auto started = std::chrono::steady_clock::now();
    rc::detail::checkGTest([&totals, &out] {
        const ChaosCase c = *CaseGen();
        const std::vector<std::uint8_t> package = BuildPackage(c.package);
        const RunView run = RunCase(c, package, RealLimit(), [&c, &out](const std::string& why) {
            WriteCase(c, out, "property 4: " + why + "\n");
        });
        Count(run, totals);
        RC_TAG(Ending(run));
        const std::vector<Finding> findings = CheckRun(package, run);
        if (!findings.empty()) {
            // Each failing case overwrites the last: the one left is the smallest RapidCheck
            // found.
            ++totals.failed;
            WriteCase(c, out, Describe(findings));
            RC_LOG() << Describe(findings) << "replay: " << out << "/replay.sh\n";
        }
        RC_ASSERT(findings.empty());
    });
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    std::printf(
        "random schedules: %llu cases (%llu failing), %llu drives, %llu faults of which %llu "
        "fired, %llu program commands, %llu commands in all, seed %llu, %.1f s\n",
        static_cast<unsigned long long>(totals.cases),
        static_cast<unsigned long long>(totals.failed),
        static_cast<unsigned long long>(totals.drives),
        static_cast<unsigned long long>(totals.faults),
        static_cast<unsigned long long>(totals.fired),
        static_cast<unsigned long long>(totals.programs),
        static_cast<unsigned long long>(totals.commands),
        static_cast<unsigned long long>(rc::detail::configuration().testParams.seed), seconds);
    if (totals.failed > 0) {
        std::printf("random schedules: the smallest failing case is in %s\n", out.c_str());
    }
}

}  // namespace
}  // namespace quiver::chaos
