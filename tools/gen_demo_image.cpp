// gen_demo_image: writes a 1 MiB firmware image in the emulated KMR-730T's format, revision QM0F,
// the image the demo package carries.
//
//   gen_demo_image OUTPUT
#include <cstdio>
#include <exception>
#include <vector>

#include "formats/firmware_image.h"

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: gen_demo_image OUTPUT\n");
        return 2;
    }
    try {
        const std::vector<std::uint8_t> image =
            sim::MakeFirmwareImage("QM0F", 1u << 20, 1, "demo image");
        std::FILE* out = std::fopen(argv[1], "wb");
        if (out == nullptr) {
            std::fprintf(stderr, "gen_demo_image: cannot create %s\n", argv[1]);
            return 1;
        }
        const bool written = std::fwrite(image.data(), 1, image.size(), out) == image.size();
        if (std::fclose(out) != 0 || !written) {
            std::fprintf(stderr, "gen_demo_image: cannot write %s\n", argv[1]);
            std::remove(argv[1]);
            return 1;
        }
    } catch (const std::exception& e) {
        std::fprintf(stderr, "gen_demo_image: %s\n", e.what());
        return 1;
    }
    return 0;
}
