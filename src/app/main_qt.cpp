// quiver: the updater on Linux, a Qt window over SG_IO, on the Linux realisation of each role of
// the platform seam. The text comparison collates by the
// user's locale, so LC_COLLATE is taken from the environment before anything compares. The
// updater takes no arguments but --version, which prints the program's version and ends.
#include <clocale>
#include <cstdio>
#include <cstring>
#include <memory>

#include "app/frm_quiver.h"
#include "platform/linux/linux_drives.h"
#include "platform/linux/linux_flash_guards.h"
#include "platform/linux/linux_system.h"
#include "platform/platform.h"
#include "ui/qt/qt_toolkit.h"

int main(int argc, char** argv) {
    if (argc == 2 && std::strcmp(argv[1], "--version") == 0) {
        std::printf("quiver %s\n", QUIVER_VERSION);
        return 0;
    }
    std::setlocale(LC_COLLATE, "");
    quiver::LinuxSystem system;
    quiver::LinuxDrives drives;
    quiver::ScopedRoles installed({&system, &system, &system, &drives});
    quiver::ui::qt::QtApplication application(argc, argv);
    quiver::TQuiverMain::Options options;
    options.guards = std::make_shared<quiver::LinuxFlashGuards>();
    return quiver::RunQuiver(application, std::move(options));
}
