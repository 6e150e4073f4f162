#include "simapp/package_file.h"

#include "package/locate.h"

#include <cstring>
#include <fstream>
#include <iterator>
#include <string_view>

#include "package/package_layout.h"

namespace quiver::simapp {

namespace detail {
extern const std::uint8_t kDemoPackageData[kPackageSize];
}  // namespace detail

namespace {

struct Marker {
    std::size_t offset;
    std::string_view text;
};

constexpr Marker kMarkers[] = {
    {offsetof(PackageHeader, constraints_marker), "FW_CONSTRAINTS="},
    {offsetof(PackageHeader, n2o_message), "N2OMESSAGE="},
    {offsetof(PackageHeader, how_many_bin), "HOW_MANY_BIN="},
};

// Files larger than this are not package carriers we would ever be given.
constexpr std::size_t kMaxFileSize = std::size_t{1} << 30;

bool HasMarkers(const std::vector<std::uint8_t>& bytes, std::size_t start) {
    for (const Marker& m : kMarkers) {
        if (std::memcmp(bytes.data() + start + m.offset, m.text.data(), m.text.size()) != 0) {
            return false;
        }
    }
    return true;
}

}  // namespace

const std::uint8_t* DemoPackage() {
    return detail::kDemoPackageData;
}

std::size_t DemoPackageSize() {
    return kPackageSize;
}

std::vector<std::size_t> FindPackageBlocks(const std::vector<std::uint8_t>& bytes) {
    std::vector<std::size_t> found;
    if (bytes.size() < kPackageSize) {
        return found;
    }
    const Marker& first = kMarkers[0];
    const auto* begin = reinterpret_cast<const char*>(bytes.data());
    const std::string_view all(begin, bytes.size());
    // A block starts `first.offset` bytes before its first marker and must lie wholly inside.
    const std::size_t lastStart = bytes.size() - kPackageSize;
    for (std::size_t at = all.find(first.text, first.offset); at != std::string_view::npos;
         at = all.find(first.text, at + 1)) {
        const std::size_t start = at - first.offset;
        if (start > lastStart) {
            break;
        }
        if (HasMarkers(bytes, start)) {
            found.push_back(start);
        }
    }
    return found;
}

std::vector<std::uint8_t> FindPackageBlock(const std::vector<std::uint8_t>& bytes,
                                           const std::string& what) {
    if (bytes.size() == kPackageSize) {
        return bytes;
    }
    // An updater names its block by its section; other files hold it once, found by its markers.
    const pack::LocateResult found = pack::LocateBlock(bytes);
    if (!found.location) {
        throw PackageFileError(what + ": " + found.error);
    }
    const auto start = bytes.begin() + static_cast<std::ptrdiff_t>(found.location->offset);
    return {start, start + static_cast<std::ptrdiff_t>(kPackageSize)};
}

std::vector<std::uint8_t> LoadPackageFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary | std::ios::ate);
    if (!in) {
        throw PackageFileError(path + ": cannot open the file");
    }
    const std::streamoff size = in.tellg();
    if (size < 0 || static_cast<std::uint64_t>(size) > kMaxFileSize) {
        throw PackageFileError(path + ": not a file of a usable size");
    }
    std::vector<std::uint8_t> bytes(static_cast<std::size_t>(size));
    in.seekg(0);
    if (!in.read(reinterpret_cast<char*>(bytes.data()), size)) {
        throw PackageFileError(path + ": cannot read the file");
    }
    return FindPackageBlock(bytes, path);
}

}  // namespace quiver::simapp
