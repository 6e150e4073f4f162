// Helpers of the packaging tests: scratch folders, files, updater stand-ins and manifests.
#pragma once

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "formats/firmware_image.h"
#include "package/package_layout.h"
#include "package_helpers.h"

namespace quiver::pack::testing {

namespace fs = std::filesystem;
using Bytes = std::vector<std::uint8_t>;

// A folder of its own for the running test, removed afterwards.
class ScratchDir {
  public:
    ScratchDir() {
        const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
        std::string name = std::string(info->test_suite_name()) + "-" + info->name();
        std::replace(name.begin(), name.end(), '/', '-');  // parameterised tests
        path_ =
            fs::temp_directory_path() / ("quiver-pack-" + std::to_string(::getpid()) + "-" + name);
        fs::remove_all(path_);
        fs::create_directories(path_);
    }
    ~ScratchDir() {
        std::error_code ignored;
        fs::remove_all(path_, ignored);
    }
    fs::path operator/(const std::string& name) const { return path_ / name; }
    const fs::path& path() const { return path_; }

  private:
    fs::path path_;
};

inline Bytes ReadBytes(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return Bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

inline void WriteBytes(const fs::path& path, const Bytes& bytes) {
    std::ofstream out(path, std::ios::binary);
    out.write(reinterpret_cast<const char*>(bytes.data()),
              static_cast<std::streamsize>(bytes.size()));
}

inline void WriteText(const fs::path& path, const std::string& text) {
    std::ofstream(path) << text;
}

// A file that is neither ELF nor PE, holding the default block `at` bytes in.
inline Bytes RawUpdater(std::size_t at = 1000, std::size_t tail = 300) {
    Bytes file(at, 0xCC);
    const Bytes block = quiver::testing::CopyOfEmbeddedPackage();
    file.insert(file.end(), block.begin(), block.end());
    file.insert(file.end(), tail, 0xDD);
    return file;
}

// An image no drive format knows: pattern bytes of `size`.
inline Bytes RawImage(std::size_t size, std::uint8_t seed = 7) {
    Bytes image(size);
    for (std::size_t i = 0; i < size; ++i) {
        image[i] = static_cast<std::uint8_t>(i * 31 + seed);
    }
    return image;
}

inline Bytes EmulatedImage(const std::string& revision, std::uint32_t size,
                           std::uint32_t seed = 3) {
    return sim::MakeFirmwareImage(revision, size, seed);
}

inline nlohmann::json Entry(const std::string& lowest, const std::string& highest,
                            const std::string& vendor = "Korvane ",
                            const std::string& product = "DVDRW KMR-730T  ") {
    return {{"lowest", lowest}, {"highest", highest}, {"vendor", vendor}, {"product", product}};
}

// A manifest with the given banks and fixed texts and flags.
inline nlohmann::json ManifestJson(nlohmann::json banks, bool emulated = true) {
    return {{"title", "Test updater"},
            {"version", "v9.9"},
            {"date", "2024/01/02"},
            {"driveName", "Korvane DVDRW KMR-730T"},
            {"emulatedDrive", emulated},
            {"flags", {{"N2OMESSAGE", 1}, {"BOOTCODE", true}, {"ADMIN", 1}}},
            {"banks", banks}};
}

inline nlohmann::json Bank(const std::string& image, const std::string& revision,
                           nlohmann::json constraints = nlohmann::json::array({Entry("QM01",
                                                                                     "QM0F")})) {
    return {{"image", image}, {"newRevision", revision}, {"constraints", constraints}};
}

inline std::string SlotText(const Bytes& block, std::size_t offset, std::size_t size) {
    return std::string(reinterpret_cast<const char*>(block.data() + offset), size);
}

// The slot as it must be: the text and zeros up to the slot's end.
inline std::string Padded(const std::string& text, std::size_t size) {
    std::string slot = text;
    slot.resize(size, '\0');
    return slot;
}

struct CommandResult {
    int status;
    std::string output;  // standard output and error together
};

// Runs quiver-pack with `args` (shell words, quoted as needed), after the shell commands and in
// front of the program `prefix` gives (`ulimit -f 8; timeout 60`, say).
inline CommandResult Command(const std::string& args, const std::string& prefix = "") {
    const std::string command = prefix + " '" + PACK_TOOL + "' " + args + " 2>&1";
    CommandResult run{-1, ""};
    FILE* pipe = ::popen(command.c_str(), "r");
    if (pipe == nullptr) {
        return run;
    }
    char buffer[4096];
    std::size_t n;
    while ((n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0) {
        run.output.append(buffer, n);
    }
    const int status = ::pclose(pipe);
    run.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return run;
}

inline std::string Quote(const fs::path& path) {
    return "'" + path.string() + "'";
}

}  // namespace quiver::pack::testing
