// A preloaded library that serves /dev/srN and /dev/sgN from the optical drives of an emulated
// PC, so that SG_IO clients (sg3_utils, the Linux backend of the seam) run against emulated
// drives: LD_PRELOAD=libquiver-sgio.so QUIVER_SGIO_MACHINE=pc.json sg_inq /dev/sr0
//
// Any path that ends in /dev/srN or /dev/sgN is served, N being the index of a drive of the
// machine file. An open gives a descriptor on /dev/null, so descriptor numbers stay sane;
// ioctl answers SG_IO (the v3 'S' header), SG_GET_VERSION_NUM, SG_GET_SCSI_ID (sg) and
// SCSI_IOCTL_GET_IDLUN on it, with the address of the drive's first letter in the machine file,
// and stat/fstat report a block device 11:N for sr and a character device 21:N for sg. Like the
// kernel, the sr node refuses WRITE BUFFER (0x3B) and the vendor opcode 0xDF with EPERM, and so
// does an sg node opened read-only, unless QUIVER_SGIO_RAWIO=1 (a process with CAP_SYS_RAWIO).
//
// The machine is loaded on the first open of a served path and again when QUIVER_SGIO_MACHINE
// names another file and no served descriptor is open. Every process has a machine of its own;
// with QUIVER_SGIO_STATE=FILE the revision a drive reports after programming its flash is kept
// in FILE and taken over by the next process that loads the same machine. A new machine's
// drives are just powered on, so a process's first command to each gets the power-on unit
// attention; with QUIVER_SGIO_SETTLED=1 they have been on for a while and somebody else took it
// (for a client such as sg_write_buffer, which does not retry a command).
//
// Exclusive opens go as in the kernel, within the process: an sr node opened with O_EXCL
// refuses further O_EXCL opens of it (EBUSY); an sg node opened with O_EXCL refuses every other
// open of it, and an O_EXCL open of an sg node is refused while another is open.
// QUIVER_SGIO_BUSY="sr0 sg0" names nodes that another program holds exclusively (for an sr
// node, or a disc in it is mounted). QUIVER_SGIO_DENIED="sr1 sg0" names nodes this process may
// not open at all (EACCES), as for a user outside the nodes' group and ACL.
#include <dlfcn.h>
#include <fcntl.h>
#include <scsi/scsi.h>
#include <scsi/scsi_ioctl.h>
#include <scsi/sg.h>
#include <stdarg.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <fstream>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "sim/machine.h"
#include "simapp/machine_file.h"

namespace {

constexpr unsigned kSrMajor = 11;
constexpr unsigned kSgMajor = 21;
constexpr int kSgVersion = 30536;
constexpr unsigned kDefaultTimeoutMs = 60'000;
constexpr unsigned char kDidError = 0x07;
constexpr unsigned char kDidTimeOut = 0x03;
constexpr unsigned short kDriverSense = 0x08;

struct Node {
    bool generic = false;  // sg, else sr
    int index = -1;
    bool writable = false;
    bool exclusive = false;  // opened with O_EXCL
};

struct State {
    // Recursive: reading or writing a file under it may come back through close() or open().
    std::recursive_mutex mutex;
    std::string machinePath;
    std::unique_ptr<sim::Machine> machine;
    quiver::simapp::MachineSpec layout;
    std::map<int, Node> fds;
    std::vector<std::uint32_t> programCounts;
};

State& Shared() {
    static State* state = new State;  // never destroyed: descriptors may close during exit
    return *state;
}

template <typename Fn>
Fn Real(const char* name) {
    return reinterpret_cast<Fn>(dlsym(RTLD_NEXT, name));
}

using OpenFn = int (*)(const char*, int, ...);
using OpenatFn = int (*)(int, const char*, int, ...);
using Open2Fn = int (*)(const char*, int);
using Openat2Fn = int (*)(int, const char*, int);
using CloseFn = int (*)(int);
using IoctlFn = int (*)(int, unsigned long, ...);
using FstatFn = int (*)(int, struct stat*);
using StatFn = int (*)(const char*, struct stat*);
using Fstat64Fn = int (*)(int, struct stat64*);
using Stat64Fn = int (*)(const char*, struct stat64*);

// "/dev/sr3" (or any path ending so) -> node 3 of kind sr.
bool ParseNode(const char* path, Node* node) {
    if (path == nullptr) {
        return false;
    }
    const char* slash = std::strrchr(path, '/');
    if (slash == nullptr || slash - path < 4 || std::strncmp(slash - 4, "/dev", 4) != 0) {
        return false;
    }
    const char* name = slash + 1;
    if ((std::strncmp(name, "sr", 2) != 0 && std::strncmp(name, "sg", 2) != 0) || name[2] == '\0' ||
        (name[2] == '0' && name[3] != '\0')) {
        return false;
    }
    int n = 0;
    for (const char* p = name + 2; *p != '\0'; ++p) {
        if (*p < '0' || *p > '9' || n > 1000) {
            return false;
        }
        n = n * 10 + (*p - '0');
    }
    node->generic = name[1] == 'g';
    node->index = n;
    return true;
}

void ApplySavedRevisions(quiver::simapp::MachineSpec& layout) {
    const char* statePath = std::getenv("QUIVER_SGIO_STATE");
    if (statePath == nullptr || *statePath == '\0') {
        return;
    }
    std::ifstream in(statePath);
    std::size_t index = 0;
    std::string revision;
    while (in >> index >> revision) {
        if (index < layout.drives.size() && revision.size() == 4) {
            layout.drives[index].config.revision = revision;
        }
    }
}

void SaveRevisions(State& state) {
    const char* statePath = std::getenv("QUIVER_SGIO_STATE");
    if (statePath == nullptr || *statePath == '\0') {
        return;
    }
    std::ofstream out(statePath, std::ios::trunc);
    for (std::size_t i = 0; i < state.machine->DriveCount(); ++i) {
        out << i << ' ' << state.machine->drive(i).Revision() << '\n';
    }
}

// Somebody else has taken each drive's power-on unit attention: a TEST UNIT READY per drive.
void TakePowerOnAttention(sim::Machine& machine) {
    const std::uint8_t testUnitReady[6] = {};
    for (std::size_t i = 0; i < machine.DriveCount(); ++i) {
        machine.drive(i).Execute(testUnitReady, sizeof testUnitReady, sim::DataDir::None, nullptr,
                                 0);
        machine.drive(i).ClearLog();
    }
}

// Makes sure the machine of QUIVER_SGIO_MACHINE is loaded. Called with the mutex held.
bool EnsureMachine(State& state) {
    const char* path = std::getenv("QUIVER_SGIO_MACHINE");
    if (path == nullptr || *path == '\0') {
        std::fprintf(stderr, "quiver-sgio: QUIVER_SGIO_MACHINE names no machine file\n");
        return false;
    }
    if (state.machine != nullptr && (state.machinePath == path || !state.fds.empty())) {
        return true;
    }
    try {
        auto layout = quiver::simapp::ReadMachineFile(path);
        ApplySavedRevisions(layout);
        auto machine = std::make_unique<sim::Machine>();
        quiver::simapp::BuildMachine(layout, *machine);
        const char* settled = std::getenv("QUIVER_SGIO_SETTLED");
        if (settled != nullptr && std::strcmp(settled, "1") == 0) {
            TakePowerOnAttention(*machine);
        }
        state.layout = std::move(layout);
        state.machine = std::move(machine);
        state.machinePath = path;
        state.programCounts.assign(state.machine->DriveCount(), 0);
        return true;
    } catch (const std::exception& e) {
        std::fprintf(stderr, "quiver-sgio: %s\n", e.what());
        return false;
    }
}

// Whether the node list in the environment variable `variable` names the node.
bool Named(const char* variable, const Node& node) {
    const char* names = std::getenv(variable);
    if (names == nullptr) {
        return false;
    }
    const std::string name = (node.generic ? "sg" : "sr") + std::to_string(node.index);
    std::string list = std::string(" ") + names + " ";
    for (char& c : list) {
        c = c == ',' ? ' ' : c;
    }
    return list.find(" " + name + " ") != std::string::npos;
}

// Whether QUIVER_SGIO_BUSY names the node.
bool HeldByAnotherProgram(const Node& node) {
    return Named("QUIVER_SGIO_BUSY", node);
}

// Whether an open of `node` with `flags` is refused for exclusive use. Called with the mutex
// held.
bool RefusedAsBusy(const State& state, const Node& node, int flags) {
    const bool exclusive = (flags & O_EXCL) != 0;
    if (HeldByAnotherProgram(node)) {
        return exclusive || node.generic;
    }
    for (const auto& [fd, other] : state.fds) {
        if (other.generic != node.generic || other.index != node.index) {
            continue;
        }
        if (node.generic ? exclusive || other.exclusive : exclusive && other.exclusive) {
            return true;
        }
    }
    return false;
}

// Opens a served node: a descriptor on /dev/null stands for it. -2: not served.
int OpenServed(const char* path, int flags) {
    Node node;
    if (!ParseNode(path, &node)) {
        return -2;
    }
    State& state = Shared();
    std::lock_guard<std::recursive_mutex> lock(state.mutex);
    if (!EnsureMachine(state)) {
        errno = ENXIO;
        return -1;
    }
    if (static_cast<std::size_t>(node.index) >= state.machine->DriveCount()) {
        errno = ENOENT;
        return -1;
    }
    if (state.machine->drive(static_cast<std::size_t>(node.index)).Vanished()) {
        errno = ENXIO;
        return -1;
    }
    if (Named("QUIVER_SGIO_DENIED", node)) {
        errno = EACCES;
        return -1;
    }
    if (RefusedAsBusy(state, node, flags)) {
        errno = EBUSY;
        return -1;
    }
    node.writable = (flags & O_ACCMODE) != O_RDONLY;
    node.exclusive = (flags & O_EXCL) != 0;
    const int fd = Real<OpenFn>("open")("/dev/null", O_RDWR | (flags & O_CLOEXEC));
    if (fd >= 0) {
        state.fds[fd] = node;
    }
    return fd;
}

// Whether the machine has the drive a served path names.
bool Exists(const Node& node) {
    State& state = Shared();
    std::lock_guard<std::recursive_mutex> lock(state.mutex);
    return EnsureMachine(state) &&
           static_cast<std::size_t>(node.index) < state.machine->DriveCount();
}

bool FindNode(int fd, Node* node) {
    State& state = Shared();
    std::lock_guard<std::recursive_mutex> lock(state.mutex);
    auto it = state.fds.find(fd);
    if (it == state.fds.end()) {
        return false;
    }
    *node = it->second;
    return true;
}

void FillStat(const Node& node, struct stat* st) {
    std::memset(st, 0, sizeof *st);
    st->st_mode = (node.generic ? S_IFCHR : S_IFBLK) | 0660;
    st->st_rdev = makedev(node.generic ? kSgMajor : kSrMajor, static_cast<unsigned>(node.index));
    st->st_nlink = 1;
    st->st_blksize = 2048;
}

void FillStat64(const Node& node, struct stat64* st) {
    std::memset(st, 0, sizeof *st);
    st->st_mode = (node.generic ? S_IFCHR : S_IFBLK) | 0660;
    st->st_rdev = makedev(node.generic ? kSgMajor : kSrMajor, static_cast<unsigned>(node.index));
    st->st_nlink = 1;
    st->st_blksize = 2048;
}

bool RawIo() {
    const char* raw = std::getenv("QUIVER_SGIO_RAWIO");
    return raw != nullptr && std::strcmp(raw, "1") == 0;
}

int ServeSgIo(const Node& node, sg_io_hdr_t* io) {
    if (io == nullptr) {
        errno = EFAULT;
        return -1;
    }
    if (io->interface_id != 'S') {
        errno = ENOSYS;
        return -1;
    }
    if (io->cmdp == nullptr || io->cmd_len < 1 || io->cmd_len > 16 || io->iovec_count != 0 ||
        (io->dxfer_len > 0 && io->dxfer_direction != SG_DXFER_NONE && io->dxferp == nullptr)) {
        errno = EINVAL;
        return -1;
    }
    const std::uint8_t opcode = io->cmdp[0];
    const bool filtered = !node.generic || !node.writable;
    if (filtered && (opcode == 0x3B || opcode == 0xDF) && !RawIo()) {
        errno = EPERM;
        return -1;
    }
    State& state = Shared();
    sim::Machine* machine = nullptr;
    {
        std::lock_guard<std::recursive_mutex> lock(state.mutex);
        machine = state.machine.get();
    }
    sim::Drive& drive = machine->drive(static_cast<std::size_t>(node.index));

    sim::DataDir dir = sim::DataDir::None;
    std::uint32_t length = 0;
    if (io->dxfer_len > 0) {
        switch (io->dxfer_direction) {
            case SG_DXFER_TO_DEV:
                dir = sim::DataDir::Out;
                length = io->dxfer_len;
                break;
            case SG_DXFER_FROM_DEV:
            case SG_DXFER_TO_FROM_DEV:
                dir = sim::DataDir::In;
                length = io->dxfer_len;
                break;
            default:
                break;
        }
    }
    const std::int64_t start = machine->clock.NowNanos();
    const sim::CommandResult result =
        drive.Execute(io->cmdp, io->cmd_len, dir, static_cast<std::uint8_t*>(io->dxferp), length);
    const std::int64_t took = machine->clock.NowNanos() - start;

    io->status = 0;
    io->masked_status = 0;
    io->msg_status = 0;
    io->sb_len_wr = 0;
    io->host_status = 0;
    io->driver_status = 0;
    io->resid = static_cast<int>(length - result.transferred);
    io->duration = static_cast<unsigned>(took / 1'000'000);
    io->info = SG_INFO_OK;

    const std::uint64_t limitMs = io->timeout == 0 ? kDefaultTimeoutMs : io->timeout;
    if (static_cast<std::uint64_t>(took) > limitMs * 1'000'000) {
        io->host_status = kDidTimeOut;
        io->info = SG_INFO_CHECK;
        io->resid = static_cast<int>(length);
    } else if (result.completion == sim::Completion::TransportFailure) {
        if (result.vanished) {
            errno = ENODEV;
            return -1;
        }
        io->host_status = kDidError;
        io->info = SG_INFO_CHECK;
    } else if (result.completion == sim::Completion::CheckCondition) {
        io->status = 0x02;
        io->masked_status = 0x01;
        io->driver_status = kDriverSense;
        io->info = SG_INFO_CHECK;
        const sim::SenseData& sense = result.senseData;
        const std::size_t bytes = std::min<std::size_t>(io->mx_sb_len, sense.length);
        if (io->sbp != nullptr && bytes > 0) {
            std::memcpy(io->sbp, sense.bytes.data(), bytes);
            io->sb_len_wr = static_cast<unsigned char>(bytes);
        }
    }

    // A drive that programmed its flash keeps its new revision for the next process.
    std::lock_guard<std::recursive_mutex> lock(state.mutex);
    const auto index = static_cast<std::size_t>(node.index);
    if (index < state.programCounts.size() && drive.ProgramCount() != state.programCounts[index]) {
        state.programCounts[index] = drive.ProgramCount();
        SaveRevisions(state);
    }
    return 0;
}

struct Address {
    unsigned host = 0, channel = 0, target = 0, lun = 0;
};

// The address of a node's drive: that of its first letter, else host N for drive N.
Address AddressOf(const Node& node) {
    State& state = Shared();
    std::lock_guard<std::recursive_mutex> lock(state.mutex);
    Address a;
    a.host = static_cast<unsigned>(node.index);
    for (const sim::Letter& letter : state.machine->letters) {
        if (letter.drive == node.index) {
            a = {letter.port, letter.path, letter.target, letter.lun};
            break;
        }
    }
    return a;
}

int ServeIoctl(const Node& node, unsigned long request, void* arg) {
    switch (request) {
        case SG_IO:
            return ServeSgIo(node, static_cast<sg_io_hdr_t*>(arg));
        case SG_GET_VERSION_NUM:
            if (!node.generic) {
                break;
            }
            *static_cast<int*>(arg) = kSgVersion;
            return 0;
        case SG_GET_SCSI_ID: {
            if (!node.generic) {
                break;
            }
            const Address a = AddressOf(node);
            sg_scsi_id id{};
            id.host_no = static_cast<int>(a.host);
            id.channel = static_cast<int>(a.channel);
            id.scsi_id = static_cast<int>(a.target);
            id.lun = static_cast<int>(a.lun);
            id.scsi_type = 5;
            std::memcpy(arg, &id, sizeof id);
            return 0;
        }
        case SCSI_IOCTL_GET_IDLUN: {
            const Address a = AddressOf(node);
            int* idlun = static_cast<int*>(arg);
            idlun[0] = static_cast<int>((a.target & 0xFF) | ((a.lun & 0xFF) << 8) |
                                        ((a.channel & 0xFF) << 16) | ((a.host & 0xFF) << 24));
            idlun[1] = static_cast<int>(a.host);
            return 0;
        }
        default:
            break;
    }
    errno = ENOTTY;
    return -1;
}

mode_t ModeOf(int flags, va_list args) {
    return (flags & (O_CREAT | O_TMPFILE)) != 0 ? static_cast<mode_t>(va_arg(args, int)) : 0;
}

}  // namespace

extern "C" {

__attribute__((visibility("default"))) int open(const char* path, int flags, ...) {
    va_list args;
    va_start(args, flags);
    const mode_t mode = ModeOf(flags, args);
    va_end(args);
    const int served = OpenServed(path, flags);
    return served != -2 ? served : Real<OpenFn>("open")(path, flags, mode);
}

__attribute__((visibility("default"))) int open64(const char* path, int flags, ...) {
    va_list args;
    va_start(args, flags);
    const mode_t mode = ModeOf(flags, args);
    va_end(args);
    const int served = OpenServed(path, flags);
    return served != -2 ? served : Real<OpenFn>("open64")(path, flags, mode);
}

__attribute__((visibility("default"))) int openat(int dirfd, const char* path, int flags, ...) {
    va_list args;
    va_start(args, flags);
    const mode_t mode = ModeOf(flags, args);
    va_end(args);
    const int served = OpenServed(path, flags);
    return served != -2 ? served : Real<OpenatFn>("openat")(dirfd, path, flags, mode);
}

__attribute__((visibility("default"))) int openat64(int dirfd, const char* path, int flags, ...) {
    va_list args;
    va_start(args, flags);
    const mode_t mode = ModeOf(flags, args);
    va_end(args);
    const int served = OpenServed(path, flags);
    return served != -2 ? served : Real<OpenatFn>("openat64")(dirfd, path, flags, mode);
}

__attribute__((visibility("default"))) int __open_2(const char* path, int flags) {
    const int served = OpenServed(path, flags);
    return served != -2 ? served : Real<Open2Fn>("__open_2")(path, flags);
}

__attribute__((visibility("default"))) int __open64_2(const char* path, int flags) {
    const int served = OpenServed(path, flags);
    return served != -2 ? served : Real<Open2Fn>("__open64_2")(path, flags);
}

__attribute__((visibility("default"))) int __openat_2(int dirfd, const char* path, int flags) {
    const int served = OpenServed(path, flags);
    return served != -2 ? served : Real<Openat2Fn>("__openat_2")(dirfd, path, flags);
}

__attribute__((visibility("default"))) int close(int fd) {
    {
        State& state = Shared();
        std::lock_guard<std::recursive_mutex> lock(state.mutex);
        state.fds.erase(fd);
    }
    return Real<CloseFn>("close")(fd);
}

__attribute__((visibility("default"))) int ioctl(int fd, unsigned long request, ...) noexcept {
    va_list args;
    va_start(args, request);
    void* arg = va_arg(args, void*);
    va_end(args);
    Node node;
    if (FindNode(fd, &node)) {
        return ServeIoctl(node, request, arg);
    }
    return Real<IoctlFn>("ioctl")(fd, request, arg);
}

__attribute__((visibility("default"))) int fstat(int fd, struct stat* st) noexcept {
    Node node;
    if (FindNode(fd, &node)) {
        FillStat(node, st);
        return 0;
    }
    return Real<FstatFn>("fstat")(fd, st);
}

__attribute__((visibility("default"))) int fstat64(int fd, struct stat64* st) noexcept {
    Node node;
    if (FindNode(fd, &node)) {
        FillStat64(node, st);
        return 0;
    }
    return Real<Fstat64Fn>("fstat64")(fd, st);
}

__attribute__((visibility("default"))) int stat(const char* path, struct stat* st) noexcept {
    Node node;
    if (ParseNode(path, &node) && Exists(node)) {
        FillStat(node, st);
        return 0;
    }
    return Real<StatFn>("stat")(path, st);
}

__attribute__((visibility("default"))) int stat64(const char* path, struct stat64* st) noexcept {
    Node node;
    if (ParseNode(path, &node) && Exists(node)) {
        FillStat64(node, st);
        return 0;
    }
    return Real<Stat64Fn>("stat64")(path, st);
}

}  // extern "C"
