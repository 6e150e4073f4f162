// Cases the random schedules once found failing, kept as JSON in tests/chaos/cases and run again
// on every build with the same checks: a fault that comes back is caught without luck.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "chaos_case.h"
#include "chaos_check.h"
#include "chaos_run.h"

namespace quiver::chaos {
namespace {

std::vector<std::string> CaseFiles() {
    std::vector<std::string> files;
    for (const auto& entry : std::filesystem::directory_iterator(QUIVER_CHAOS_FOUND_CASES)) {
        if (entry.path().extension() == ".json") {
            files.push_back(entry.path().string());
        }
    }
    std::sort(files.begin(), files.end());
    return files;
}

TEST(FoundCases, HoldTheFlashInvariants) {
    const std::vector<std::string> files = CaseFiles();
    ASSERT_FALSE(files.empty());
    for (const std::string& file : files) {
        std::ifstream in(file);
        const ChaosCase c = CaseFromJson(nlohmann::json::parse(in));
        const std::vector<std::uint8_t> package = BuildPackage(c.package);
        const RunView run =
            RunCase(c, package, std::chrono::seconds(120), [](const std::string&) {});
        EXPECT_EQ(Describe(CheckRun(package, run)), "") << file;
    }
}

}  // namespace
}  // namespace quiver::chaos
