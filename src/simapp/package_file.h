// Firmware packages for the emulated PC: the demo package built in, and package blocks read from
// files.
#pragma once

#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

namespace quiver::simapp {

// The demo package: the default package block with its image area holding a 1 MiB image of
// the emulated drive's format, revision QM0F, so that bank 1 carries that image. kPackageSize
// bytes, made at build time by gen_demo_package.
const std::uint8_t* DemoPackage();
std::size_t DemoPackageSize();

class PackageFileError : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

// The package block in `bytes`. Bytes of exactly kPackageSize are taken as a block as they are,
// unchecked, so that broken blocks can be tried as well. In an updater (ELF or PE) the block is
// the one its package section names, as quiver-pack finds it; any other file must hold exactly
// one block, recognised by its marker texts at their fixed offsets from the block's start.
// Throws PackageFileError naming `what` when there is none or more than one.
std::vector<std::uint8_t> FindPackageBlock(const std::vector<std::uint8_t>& bytes,
                                           const std::string& what);
// The same for a file. Throws PackageFileError.
std::vector<std::uint8_t> LoadPackageFile(const std::string& path);

// Offsets of the blocks found in `bytes` by their markers.
std::vector<std::size_t> FindPackageBlocks(const std::vector<std::uint8_t>& bytes);

}  // namespace quiver::simapp
