// The files quiver-pack reads and writes, which may come from anywhere. An input must be a regular
// file no larger than its limit: it is opened without waiting (a FIFO cannot hold the command
// up), checked, and read with one bounded read. The output never goes through a path someone
// else could have prepared: a new file is created beside the destination under a name nobody
// can guess, synced, and renamed over the destination. Every error carries the system's reason.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace quiver::pack {

// The largest files taken: a manifest, an updater (or any file `show` looks at). An image is
// limited by the image area.
constexpr std::uint64_t kManifestLimit = std::uint64_t{1} << 20;
constexpr std::uint64_t kUpdaterLimit = std::uint64_t{256} << 20;

// An input file, open for reading.
class InputFile {
  public:
    InputFile() = default;
    ~InputFile();
    InputFile(const InputFile&) = delete;
    InputFile& operator=(const InputFile&) = delete;

    // Opens `path` and checks that it is a regular file; FIFOs, devices, sockets and folders are
    // refused. False with `error` set when the file cannot be taken.
    bool Open(const std::filesystem::path& path, std::string& error);
    std::uint64_t size() const { return size_; }
    // The file's permission bits.
    unsigned permissions() const { return permissions_; }
    // Reads the whole file, size() bytes. A file that changes size meanwhile is an error.
    bool Read(std::vector<std::uint8_t>& bytes, std::string& error);

  private:
    int fd_ = -1;
    std::filesystem::path path_;
    std::uint64_t size_ = 0;
    unsigned permissions_ = 0;
};

// Opens and reads a regular file of at most `limit` bytes; a larger one is refused unread.
// `permissions`, when given, receives the file's permission bits.
std::optional<std::vector<std::uint8_t>> ReadInput(const std::filesystem::path& path,
                                                   std::uint64_t limit, std::string& error,
                                                   unsigned* permissions = nullptr);

// The destination of `fill -o`: a file that does not exist yet or an existing regular file.
// Anything else, a symbolic link included, is refused: the caller names the file itself.
bool CheckNewDestination(const std::filesystem::path& path, std::string& error);

// The destination of `fill --in-place`: the updater itself, or, when it is a symbolic link, the
// file it points to, resolved once here. The result is a regular file.
std::optional<std::filesystem::path> ResolveInPlace(const std::filesystem::path& updater,
                                                    std::string& error);

// Names for the new file, one per attempt, from the destination's file name. The default draws
// random names; a name that exists, a symbolic link among them, is never opened but skipped.
using TempNames = std::function<std::string(const std::string& destination_name)>;
std::string RandomTempName(const std::string& destination_name);

// Writes `bytes` into a new file in the destination's folder, syncs it, gives it `permissions`
// and renames it over `destination`, so that the destination is either the old file or the
// whole new one. The new file is removed when anything fails.
bool ReplaceFile(const std::filesystem::path& destination, std::span<const std::uint8_t> bytes,
                 unsigned permissions, std::string& error, const TempNames& names = RandomTempName);

}  // namespace quiver::pack
