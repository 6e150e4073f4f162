// The command lines of quiver-pack and quiver-sim, read with CLI11: --help and --version print to
// standard output and end the program with status 0; a wrong command line is named on standard
// error, with a pointer to --help, and ends it with status 2.
#pragma once

#include <CLI/CLI.hpp>
#include <iostream>
#include <optional>
#include <string>

namespace quiver::command_line {

// The exit status of wrong usage.
inline constexpr int kUsageError = 2;

// A program's option parser: its name, what it does, and `--version`, which prints "NAME
// VERSION". Options given twice keep their last value. Call it before adding commands.
inline void Describe(CLI::App& app, const std::string& name, const std::string& description) {
    app.name(name);
    app.description(description);
    app.set_version_flag("--version", name + " " + QUIVER_VERSION, "Print the version and end");
    app.set_help_flag("-h,--help", "Print this help and end");
    app.option_defaults()->multi_option_policy(CLI::MultiOptionPolicy::TakeLast);
    // On Windows CLI11 would read "/x" as an option: there it is a path (and one Wine passes
    // for a Unix path), as everywhere else. Commands added later inherit this.
    app.allow_windows_style_options(false);
}

// Names a problem of the command line on standard error; returns the status of wrong usage.
inline int UsageError(const CLI::App& app, const std::string& problem) {
    std::cerr << app.get_name() << ": " << problem << "\n"
              << "Run \"" << app.get_name() << " --help\" for the options.\n";
    return kUsageError;
}

// Parses the command line. Returns the status to end the program with (after --help, --version
// or wrong usage), or nothing when the program goes on.
inline std::optional<int> Parse(CLI::App& app, int argc, const char* const* argv) {
    try {
        app.parse(argc, argv);
        return std::nullopt;
    } catch (const CLI::CallForHelp& e) {
        // The program's help shows its commands with their options, too.
        if (app.get_subcommands().empty()) {
            std::cout << app.help("", CLI::AppFormatMode::All);
            return 0;
        }
        return app.exit(e, std::cout, std::cerr);
    } catch (const CLI::Success& e) {
        return app.exit(e, std::cout, std::cerr);
    } catch (const CLI::ParseError& e) {
        return UsageError(app, e.what());
    }
}

}  // namespace quiver::command_line
