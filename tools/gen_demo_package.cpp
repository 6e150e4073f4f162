// gen_demo_package: writes the demo firmware package block: the default package block of the
// build with its image area holding a 1 MiB image in the emulated KMR-730T's format, revision
// QM0F. The default block's bank 1 covers the whole image area and names QM0F as its new
// revision, so bank 1 is then that image.
//
//   gen_demo_package OUTPUT
#include <cstdio>
#include <cstring>
#include <exception>
#include <vector>

#include "formats/firmware_image.h"
#include "package/package_layout.h"

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: gen_demo_package OUTPUT\n");
        return 2;
    }
    try {
        const std::uint8_t* embedded = quiver::EmbeddedPackage();
        std::vector<std::uint8_t> block(embedded, embedded + quiver::kPackageSize);
        const std::vector<std::uint8_t> image =
            sim::MakeFirmwareImage("QM0F", quiver::kImageAreaSize, 1, "demo image");
        std::memcpy(block.data() + quiver::kImageAreaOffset, image.data(), image.size());

        std::FILE* out = std::fopen(argv[1], "wb");
        if (out == nullptr) {
            std::fprintf(stderr, "gen_demo_package: cannot create %s\n", argv[1]);
            return 1;
        }
        const bool written = std::fwrite(block.data(), 1, block.size(), out) == block.size();
        if (std::fclose(out) != 0 || !written) {
            std::fprintf(stderr, "gen_demo_package: cannot write %s\n", argv[1]);
            std::remove(argv[1]);
            return 1;
        }
    } catch (const std::exception& e) {
        std::fprintf(stderr, "gen_demo_package: %s\n", e.what());
        return 1;
    }
    return 0;
}
