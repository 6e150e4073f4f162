// quiver-pack's manifest reader over arbitrary text. The reader never touches the files the
// manifest names, so a folder that does not exist does for the images.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "manifest.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    quiver::pack::Diagnostics diagnostics;
    quiver::pack::Manifest manifest;
    manifest =
        quiver::pack::ReadManifest(std::string_view(reinterpret_cast<const char*>(data), size),
                                   "/nonexistent/quiver-fuzz", diagnostics);
    // Without errors the result is complete: every bank and flag within the block's limits.
    if (!diagnostics.HasErrors()) {
        if (manifest.banks.size() > 4) {
            __builtin_trap();
        }
        for (const quiver::pack::ManifestBank& bank : manifest.banks) {
            if (bank.constraints.size() > 8) {
                __builtin_trap();
            }
            // An entry without any condition admits every drive: only "admitAnyDrive" writes
            // one, as the bank's only entry.
            for (const quiver::pack::ManifestConstraint& c : bank.constraints) {
                if (c.lowest.empty() && c.highest.empty() && c.vendor.empty() &&
                    c.product.empty() && bank.constraints.size() != 1) {
                    __builtin_trap();
                }
            }
        }
        for (int flag : manifest.flags) {
            if (flag < 0 || flag > 9) {
                __builtin_trap();
            }
        }
    }
    volatile std::size_t sink = diagnostics.Format().size();
    (void)sink;
    return 0;
}
