// The packaging manifest: what goes into a package block, read from JSON. Reading checks every
// field against the limits of the block and reports each problem with the field it concerns.
#pragma once

#include <array>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "package/block_keys.h"

namespace quiver::pack {

struct Problem {
    enum class Severity { Error, Warning };
    Severity severity = Severity::Error;
    std::string field;  // where in the manifest or the files, e.g. "banks[1].constraints[0].vendor"
    std::string message;
};

class Diagnostics {
  public:
    void Error(std::string field, std::string message);
    void Warn(std::string field, std::string message);
    bool HasErrors() const;
    const std::vector<Problem>& list() const { return list_; }
    // "error: FIELD: MESSAGE" lines.
    std::string Format() const;

  private:
    std::vector<Problem> list_;
};

struct ManifestConstraint {
    std::string lowest;
    std::string highest;
    std::string vendor;
    std::string product;
};

struct ManifestBank {
    std::filesystem::path image;        // resolved against the manifest's folder
    std::optional<std::int64_t> start;  // offset in the image area; none: after the bank before
    std::string new_revision;
    std::vector<ManifestConstraint> constraints;
};

struct Manifest {
    std::string title;  // "APP_TITLE_HERE" when the manifest names none
    std::string version;
    std::string date;
    std::string drive_name;
    // The digit of every one-digit key entry, in the order of kFlagKeys; HOW_MANY_BIN is the
    // bank count.
    std::array<int, kFlagKeyCount> flags{};
    bool emulated_drive = false;
    std::vector<ManifestBank> banks;
};

// The title the block holds when it was never filled.
constexpr char kUnfilledTitle[] = "APP_TITLE_HERE";

// Reads and checks a manifest. Relative image paths are taken from `image_dir`, normally the
// manifest's folder. Problems go to `diagnostics`; the result is complete only without errors.
Manifest ReadManifest(std::string_view json_text, const std::filesystem::path& image_dir,
                      Diagnostics& diagnostics);

}  // namespace quiver::pack
