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

#include <nlohmann/json.hpp>

#include "command_line.h"
#include "files.h"
#include "pack.h"

namespace fs = std::filesystem;

namespace {

struct FillArguments {
    std::string manifest;
    std::string updater;
    std::optional<std::string> out;
    std::optional<std::string> image_dir;
    bool in_place = false;
};

struct ShowArguments {
    std::string file;
    bool json = false;
};

int Fill(const FillArguments& args) {
    const std::optional<fs::path> out = args.out;
    const std::optional<fs::path> image_dir = args.image_dir;
    const bool in_place = args.in_place;
    const fs::path manifest_path = args.manifest;
    fs::path updater_path = args.updater;
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
              << (in_place && target != args.updater ? " (the file " + args.updater + " points to)"
                                                     : std::string())
              << "\n";
    return 0;
}

int Show(const ShowArguments& args) {
    std::string error;
    const auto file = quiver::pack::ReadInput(args.file, quiver::pack::kUpdaterLimit, error);
    if (!file) {
        std::cerr << "quiver-pack: " << error << "\n";
        return 1;
    }
    const quiver::pack::LocateResult located = quiver::pack::LocateBlock(*file);
    if (!located.location) {
        std::cerr << "quiver-pack: " << args.file << ": " << located.error << "\n";
        return 1;
    }
    const auto description = quiver::pack::DescribePackage(*file, *located.location);
    if (args.json) {
        std::cout << description.dump(2) << "\n";
    } else {
        std::cout << quiver::pack::RenderPackage(description);
    }
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    CLI::App app;
    quiver::command_line::Describe(app, "quiver-pack",
                                   "Fills the firmware package block of a built updater from a "
                                   "manifest, and shows the package of any updater.\n"
                                   "Exit status: 0 done (warnings may have been printed), 1 "
                                   "refused (nothing written), 2 wrong usage.");
    app.require_subcommand(1);

    FillArguments fill;
    CLI::App* fill_command =
        app.add_subcommand("fill", "Fill an updater's package block from a manifest");
    fill_command->add_option("MANIFEST", fill.manifest, "The manifest (JSON)")
        ->required()
        ->type_name("");
    fill_command->add_option("UPDATER", fill.updater, "The built updater to fill")
        ->required()
        ->type_name("");
    CLI::Option* out = fill_command->add_option("-o", fill.out, "Write the filled updater to OUT")
                           ->type_name("OUT");
    CLI::Option* in_place =
        fill_command->add_flag("--in-place", fill.in_place, "Fill the updater itself");
    out->excludes(in_place);
    fill_command
        ->add_option("--image-dir", fill.image_dir,
                     "Where the manifest's relative image paths start (default: the "
                     "manifest's folder)")
        ->type_name("DIR");

    ShowArguments show;
    CLI::App* show_command = app.add_subcommand("show", "Show the package of an updater");
    show_command->add_option("FILE", show.file, "An updater or a package block")
        ->required()
        ->type_name("");
    show_command->add_flag("--json", show.json, "Print it as JSON");

    if (const auto status = quiver::command_line::Parse(app, argc, argv)) {
        return *status;
    }
    if (fill_command->parsed() && fill.in_place == fill.out.has_value()) {
        return quiver::command_line::UsageError(
            app, "fill writes either a new file (-o OUT) or the updater itself (--in-place)");
    }
    try {
        return fill_command->parsed() ? Fill(fill) : Show(show);
    } catch (const std::exception& e) {
        std::cerr << "quiver-pack: " << e.what() << "\n";
        return 1;
    }
}
