#include "files.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/types.h>

#include <cerrno>
#include <cstring>
#include <random>
#include <system_error>

#ifdef _WIN32
#include <io.h>
#else
#include <unistd.h>
#endif

namespace quiver::pack {

namespace fs = std::filesystem;

namespace {

#ifdef _WIN32
// Windows has no FIFOs to wait on, no symbolic links that open() would follow into a new file,
// and no permission bits beyond read-only.
constexpr int kOpenInput = O_RDONLY | O_BINARY;
constexpr int kOpenNew = O_WRONLY | O_CREAT | O_EXCL | O_BINARY;
int SyncFile(int fd) {
    return _commit(fd);
}
int SetPermissions(int, unsigned) {
    return 0;
}
void SyncFolder(const fs::path&) {}
#else
// O_NONBLOCK: opening a FIFO that was swapped in after the check does not wait for a writer.
constexpr int kOpenInput = O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC;
// O_EXCL fails on any name that exists, a symbolic link included, dangling or not.
constexpr int kOpenNew = O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC;
int SyncFile(int fd) {
    return ::fsync(fd);
}
int SetPermissions(int fd, unsigned permissions) {
    return ::fchmod(fd, static_cast<mode_t>(permissions));
}
// Makes the rename itself durable. The destination is already complete whatever happens here,
// so a folder that cannot be synced is not an error.
void SyncFolder(const fs::path& folder) {
    const int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd >= 0) {
        ::fsync(fd);
        ::close(fd);
    }
}
#endif

// The largest count one read or write call is given.
constexpr std::size_t kChunk = std::size_t{1} << 20;

std::string Reason(int error) {
    return std::strerror(error);
}

// What a file that is not a regular one is, for messages.
const char* KindOf(unsigned mode) {
    if (S_ISDIR(mode)) {
        return "a folder";
    }
#ifdef S_ISFIFO
    if (S_ISFIFO(mode)) {
        return "a FIFO";
    }
#endif
    if (S_ISCHR(mode)) {
        return "a character device";
    }
#ifdef S_ISBLK
    if (S_ISBLK(mode)) {
        return "a block device";
    }
#endif
#ifdef S_ISSOCK
    if (S_ISSOCK(mode)) {
        return "a socket";
    }
#endif
    return "not a regular file";
}

std::string NotRegular(const fs::path& path, unsigned mode) {
    return path.string() + " is " + KindOf(mode) + ", not a regular file";
}

// An open file descriptor, closed when it goes.
class Descriptor {
  public:
    explicit Descriptor(int fd) : fd_(fd) {}
    ~Descriptor() {
        if (fd_ >= 0) {
            ::close(fd_);
        }
    }
    Descriptor(const Descriptor&) = delete;
    Descriptor& operator=(const Descriptor&) = delete;
    int get() const { return fd_; }
    // Closes now, for the close's own error.
    int Close() {
        const int fd = fd_;
        fd_ = -1;
        return ::close(fd);
    }

  private:
    int fd_;
};

bool WriteAll(int fd, std::span<const std::uint8_t> bytes) {
    std::size_t done = 0;
    while (done < bytes.size()) {
        const std::size_t count = std::min(bytes.size() - done, kChunk);
        const auto n = ::write(fd, bytes.data() + done, static_cast<unsigned>(count));
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            return false;
        }
        done += static_cast<std::size_t>(n);
    }
    return true;
}

}  // namespace

InputFile::~InputFile() {
    if (fd_ >= 0) {
        ::close(fd_);
    }
}

bool InputFile::Open(const fs::path& path, std::string& error) {
    path_ = path;
    // Looked at before it is opened: opening a device can itself do something.
    struct stat before {};
    if (::stat(path.string().c_str(), &before) != 0) {
        error = "cannot open " + path.string() + ": " + Reason(errno);
        return false;
    }
    if (!S_ISREG(before.st_mode)) {
        error = NotRegular(path, before.st_mode);
        return false;
    }
    fd_ = ::open(path.string().c_str(), kOpenInput);
    if (fd_ < 0) {
        error = "cannot open " + path.string() + ": " + Reason(errno);
        return false;
    }
    // And looked at again, as opened: the name may lead elsewhere by now.
    struct stat opened {};
    if (::fstat(fd_, &opened) != 0) {
        error = "cannot read " + path.string() + ": " + Reason(errno);
        return false;
    }
    if (!S_ISREG(opened.st_mode)) {
        error = NotRegular(path, opened.st_mode);
        return false;
    }
    size_ = static_cast<std::uint64_t>(opened.st_size);
    permissions_ = static_cast<unsigned>(opened.st_mode) & 0777;
    return true;
}

bool InputFile::Read(std::vector<std::uint8_t>& bytes, std::string& error) {
    // The file's size and one byte more, to notice a file that grows while it is read.
    bytes.assign(static_cast<std::size_t>(size_) + 1, 0);
    std::size_t done = 0;
    while (done < bytes.size()) {
        const std::size_t count = std::min(bytes.size() - done, kChunk);
        const auto n = ::read(fd_, bytes.data() + done, static_cast<unsigned>(count));
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            error = "cannot read " + path_.string() + ": " + Reason(errno);
            return false;
        }
        if (n == 0) {
            break;
        }
        done += static_cast<std::size_t>(n);
    }
    if (done != size_) {
        error = path_.string() + " changed its size while it was read";
        return false;
    }
    bytes.resize(done);
    return true;
}

std::optional<std::vector<std::uint8_t>> ReadInput(const fs::path& path, std::uint64_t limit,
                                                   std::string& error, unsigned* permissions) {
    InputFile file;
    if (!file.Open(path, error)) {
        return std::nullopt;
    }
    if (file.size() > limit) {
        error = path.string() + " is " + std::to_string(file.size()) + " bytes; at most " +
                std::to_string(limit) + " are taken";
        return std::nullopt;
    }
    std::vector<std::uint8_t> bytes;
    if (!file.Read(bytes, error)) {
        return std::nullopt;
    }
    if (permissions != nullptr) {
        *permissions = file.permissions();
    }
    return bytes;
}

bool CheckNewDestination(const fs::path& path, std::string& error) {
    std::error_code ec;
    const fs::file_status status = fs::symlink_status(path, ec);
    if (status.type() == fs::file_type::not_found) {
        return true;
    }
    if (ec) {
        error = "cannot look at " + path.string() + ": " + ec.message();
        return false;
    }
    if (status.type() == fs::file_type::symlink) {
        error = path.string() +
                " is a symbolic link; name the file itself, or a file that does not exist yet";
        return false;
    }
    if (status.type() != fs::file_type::regular) {
        struct stat st {};
        const unsigned mode = ::stat(path.string().c_str(), &st) == 0 ? st.st_mode : 0;
        error = NotRegular(path, mode) + "; refusing to replace it";
        return false;
    }
    return true;
}

std::optional<fs::path> ResolveInPlace(const fs::path& updater, std::string& error) {
    std::error_code ec;
    fs::path resolved = updater;
    if (fs::is_symlink(fs::symlink_status(updater, ec))) {
        resolved = fs::canonical(updater, ec);
        if (ec) {
            error = "cannot follow the symbolic link " + updater.string() + ": " + ec.message();
            return std::nullopt;
        }
    }
    const fs::file_status status = fs::symlink_status(resolved, ec);
    if (ec) {
        error = "cannot open " + resolved.string() + ": " + ec.message();
        return std::nullopt;
    }
    if (status.type() != fs::file_type::regular) {
        struct stat st {};
        const unsigned mode = ::stat(resolved.string().c_str(), &st) == 0 ? st.st_mode : 0;
        error = NotRegular(resolved, mode);
        return std::nullopt;
    }
    return resolved;
}

std::string RandomTempName(const std::string& destination_name) {
    static std::random_device source;
    std::uniform_int_distribution<std::uint64_t> draw;
    char suffix[24];
    std::snprintf(suffix, sizeof suffix, "%016llx", static_cast<unsigned long long>(draw(source)));
    // Short enough for any file system, however long the destination's name.
    return "." + destination_name.substr(0, 100) + "." + suffix + ".tmp";
}

bool ReplaceFile(const fs::path& destination, std::span<const std::uint8_t> bytes,
                 unsigned permissions, std::string& error, const TempNames& names) {
    const fs::path folder = destination.parent_path();  // empty: the current folder
    const std::string folder_name = folder.empty() ? "the current folder" : folder.string();
    const std::string name = destination.filename().string();
    fs::path temp;
    int fd = -1;
    constexpr int kAttempts = 100;
    for (int attempt = 0; attempt < kAttempts && fd < 0; ++attempt) {
        temp = folder / names(name);
        fd = ::open(temp.string().c_str(), kOpenNew, 0600);
        if (fd < 0 && errno != EEXIST) {
            error = "cannot create a new file in " + folder_name + ": " + Reason(errno);
            return false;
        }
    }
    if (fd < 0) {
        error = "cannot create a new file in " + folder_name + ": every name tried exists";
        return false;
    }
    Descriptor file(fd);
    const auto fail = [&](const std::string& what, int reason) {
        error = what + " " + temp.string() + ": " + Reason(reason);
        std::error_code ignored;
        fs::remove(temp, ignored);
        return false;
    };
    if (!WriteAll(file.get(), bytes)) {
        return fail("cannot write", errno);
    }
    if (SetPermissions(file.get(), permissions) != 0) {
        return fail("cannot set the permissions of", errno);
    }
    if (SyncFile(file.get()) != 0) {
        return fail("cannot write", errno);
    }
    if (file.Close() != 0) {
        return fail("cannot write", errno);
    }
    std::error_code ec;
    fs::rename(temp, destination, ec);
    if (ec) {
        error = "cannot replace " + destination.string() + ": " + ec.message();
        fs::remove(temp, ec);
        return false;
    }
    SyncFolder(folder.empty() ? fs::path(".") : folder);
    return true;
}

}  // namespace quiver::pack
