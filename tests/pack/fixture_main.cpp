// A small program that carries the package block and prints what it reads from it, so that the
// tests can see that a filled file is read in place. Built for Linux, and with MinGW for Windows.
#include <cstdio>

#include "package/package_layout.h"
#ifdef PACK_FIXTURE_PROFILES
#include "flash/flash_tables.h"
#endif

int main() {
    const auto* package =
        reinterpret_cast<const quiver::FirmwarePackage*>(quiver::EmbeddedPackage());
    const quiver::PackageHeader& h = package->header;
    std::printf("title=%.63s\n", h.title);
    std::printf("how_many_bin=%.19s\n", h.how_many_bin);
    std::printf("new_fw1=%.15s\n", h.new_fw[0]);
    std::printf("image=");
    for (int i = 0; i < 8; ++i) {
        std::printf("%02x", package->image[i]);
    }
    std::printf("\n");
#ifdef PACK_FIXTURE_PROFILES
    std::printf("profile0=%02x\n", quiver::FlashProfiles()[0]);
#endif
    return 0;
}
