// What a download tells whoever watches it, on the worker's thread: the stage it has reached,
// each block written and read back, and each block whose read-back differed. The watcher keeps
// its own record and must not block the download for long.
#pragma once

#include <cstdint>

namespace quiver {

enum class DownloadStage : std::uint8_t {
    Profile,   // the flash-chip identification and the chip's flash profile
    Transfer,  // the image, block by block, each read back and compared
    Program,   // the command that programs the flash; reported before it is sent
};

class DownloadObserver {
  public:
    virtual ~DownloadObserver() = default;
    // `attempt` counts the passes over the image from 1; it is 0 outside the transfer.
    virtual void StageReached(DownloadStage stage, int attempt) = 0;
    // Block `block` of `blocks` (from 0) was written and read back equal in pass `attempt`.
    virtual void BlockVerified(int attempt, std::uint32_t block, std::uint32_t blocks) = 0;
    // Block `block` could not be written or read back equal in pass `attempt`.
    virtual void BlockFailed(int attempt, std::uint32_t block) = 0;
};

}  // namespace quiver
