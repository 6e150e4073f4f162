// quiver: the updater on Linux, a Qt window over SG_IO. The text comparison collates by the
// user's locale, so LC_COLLATE is taken from the environment before anything compares.
#include <clocale>
#include <memory>

#include "app/frm_quiver.h"
#include "platform/linux/linux_flash_guards.h"
#include "platform/linux/linux_platform.h"
#include "platform/platform.h"
#include "ui/qt/qt_toolkit.h"

int main(int argc, char** argv) {
    std::setlocale(LC_COLLATE, "");
    quiver::LinuxPlatform platform;
    quiver::ScopedPlatform installed(platform);
    quiver::ui::qt::QtApplication application(argc, argv);
    quiver::TQuiverMain::Options options;
    options.guards = std::make_shared<quiver::LinuxFlashGuards>(&platform);
    return quiver::RunQuiver(application, std::move(options));
}
