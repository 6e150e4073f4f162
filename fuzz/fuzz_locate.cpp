// The block locator over arbitrary files: ELF and PE headers and section tables, and the search
// for the block's marker texts. Each input is tried as a file of its own, and again with a whole
// package block placed right after its first 4096 bytes (file offset 0x1000), so that section
// tables can lead to a real block. The seeds (fuzz/make_locate_seeds.py) are small ELF and PE
// files whose package section lies there.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "package/firmware_package.h"
#include "package/locate.h"
#include "package/package_layout.h"

namespace {

using namespace quiver;

constexpr std::size_t kBlockAt = 0x1000;

void Locate(std::vector<std::uint8_t>& file) {
    const pack::LocateResult r = pack::LocateBlock(file);
    if (r.location.has_value()) {
        // A located block lies wholly inside the file and carries every marker text.
        const std::size_t offset = r.location->offset;
        if (offset > file.size() || kPackageSize > file.size() - offset ||
            !pack::HasBlockMarkers(file.data() + offset) || !r.error.empty()) {
            __builtin_trap();
        }
    } else if (r.error.empty()) {
        __builtin_trap();  // a refusal always says why
    }
    volatile bool sink = pack::PeIsSigned(file);
    (void)sink;
    pack::UpdatePeChecksum(file);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::span<const std::uint8_t> input(data, size);
    std::vector<std::uint8_t> alone(input.begin(), input.end());
    Locate(alone);

    std::vector<std::uint8_t> with_block(kBlockAt, 0);
    const std::size_t head = std::min(size, kBlockAt);
    std::copy_n(data, head, with_block.begin());
    const std::uint8_t* block = EmbeddedPackage();
    with_block.insert(with_block.end(), block, block + kPackageSize);
    with_block.insert(with_block.end(), input.begin() + static_cast<std::ptrdiff_t>(head),
                      input.end());
    Locate(with_block);
    return 0;
}
