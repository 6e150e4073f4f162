// quiver-pack: fills the package block of a built updater from a manifest, and shows the
// package of any updater.
//
//   quiver-pack fill MANIFEST UPDATER (-o OUT | --in-place) [--image-dir DIR]
//   quiver-pack show FILE [--json]
//
// Exit status: 0 done (warnings may have been printed), 1 the manifest, an image or the updater
// was refused (nothing written), 2 wrong usage.
#include <cstdio>
#include <exception>
#include <filesystem>
#include <iostream>
#include <optional>
#include <string>
#include <system_error>
#include <vector>

#include "files.h"
#include "pack.h"

namespace fs = std::filesystem;

namespace {

constexpr char kUsage[] =
    "usage: quiver-pack fill MANIFEST UPDATER (-o OUT | --in-place) [--image-dir DIR]\n"
    "       quiver-pack show FILE [--json]\n";

int Usage(const std::string& problem) {
    std::cerr << "quiver-pack: " << problem << "\n" << kUsage;
    return 2;
}

int Fill(const std::vector<std::string>& args) {
    std::vector<std::string> positional;
    std::optional<fs::path> out;
    std::optional<fs::path> image_dir;
    bool in_place = false;
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& a = args[i];
        if (a == "-o" || a == "--image-dir") {
            if (i + 1 >= args.size()) {
                return Usage(a + " needs a path");
            }
            (a == "-o" ? out : image_dir) = fs::path(args[++i]);
        } else if (a == "--in-place") {
            in_place = true;
        } else if (a.starts_with("-") && a.size() > 1) {
            return Usage("unknown option " + a);
        } else {
            positional.push_back(a);
        }
    }
    if (positional.size() != 2) {
        return Usage("fill takes a manifest and an updater");
    }
    if (in_place == out.has_value()) {
        return Usage("fill writes either a new file (-o OUT) or the updater itself (--in-place)");
    }
    const fs::path manifest_path = positional[0];
    fs::path updater_path = positional[1];
    std::string error;
    fs::path target;
    if (in_place) {
        // A symbolic link is followed once, here; the file it leads to is read and replaced.
        const std::optional<fs::path> resolved = quiver::pack::ResolveInPlace(updater_path, error);
        if (!resolved) {
            std::cerr << "quiver-pack: " << error << "\n";
            return 1;
        }
        updater_path = target = *resolved;
    } else {
        target = *out;
        std::error_code ec;
        if (fs::equivalent(updater_path, target, ec)) {
            std::cerr << "quiver-pack: " << target.string()
                      << " is the updater itself; pass --in-place to change it\n";
            return 1;
        }
        if (!quiver::pack::CheckNewDestination(target, error)) {
            std::cerr << "quiver-pack: " << error << "\n";
            return 1;
        }
    }

    const auto manifest =
        quiver::pack::ReadInput(manifest_path, quiver::pack::kManifestLimit, error);
    if (!manifest) {
        std::cerr << "quiver-pack: the manifest: " << error << "\n";
        return 1;
    }
    unsigned permissions = 0;
    auto updater =
        quiver::pack::ReadInput(updater_path, quiver::pack::kUpdaterLimit, error, &permissions);
    if (!updater) {
        std::cerr << "quiver-pack: the updater: " << error << "\n";
        return 1;
    }
    std::error_code ec;
    const fs::path base = image_dir.value_or(fs::absolute(manifest_path, ec).parent_path());
    quiver::pack::FillResult result = quiver::pack::Fill(
        std::move(*updater),
        std::string_view(reinterpret_cast<const char*>(manifest->data()), manifest->size()), base);
    std::cerr << result.diagnostics.Format();
    if (result.diagnostics.HasErrors()) {
        std::cerr << "quiver-pack: nothing written\n";
        return 1;
    }
    if (!quiver::pack::ReplaceFile(target, result.file, permissions, error)) {
        std::cerr << "quiver-pack: " << error << "\n";
        return 1;
    }
    std::cerr << "quiver-pack: filled the package block (" << result.location->how << ") into "
              << target.string()
              << (in_place && target != positional[1]
                      ? " (the file " + positional[1] + " points to)"
                      : std::string())
              << "\n";
    return 0;
}

int Show(const std::vector<std::string>& args) {
    bool json = false;
    std::vector<std::string> positional;
    for (const std::string& a : args) {
        if (a == "--json") {
            json = true;
        } else if (a.starts_with("-") && a.size() > 1) {
            return Usage("unknown option " + a);
        } else {
            positional.push_back(a);
        }
    }
    if (positional.size() != 1) {
        return Usage("show takes one file");
    }
    std::string error;
    const auto file = quiver::pack::ReadInput(positional[0], quiver::pack::kUpdaterLimit, error);
    if (!file) {
        std::cerr << "quiver-pack: " << error << "\n";
        return 1;
    }
    const quiver::pack::LocateResult located = quiver::pack::LocateBlock(*file);
    if (!located.location) {
        std::cerr << "quiver-pack: " << positional[0] << ": " << located.error << "\n";
        return 1;
    }
    const auto description = quiver::pack::DescribePackage(*file, *located.location);
    if (json) {
        std::cout << description.dump(2) << "\n";
    } else {
        std::cout << quiver::pack::RenderPackage(description);
    }
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        return Usage("no command");
    }
    const std::string command = argv[1];
    const std::vector<std::string> args(argv + 2, argv + argc);
    try {
        if (command == "fill") {
            return Fill(args);
        }
        if (command == "show") {
            return Show(args);
        }
        if (command == "--help" || command == "-h") {
            std::cout << kUsage;
            return 0;
        }
    } catch (const std::exception& e) {
        std::cerr << "quiver-pack: " << e.what() << "\n";
        return 1;
    }
    return Usage("unknown command " + command);
}
