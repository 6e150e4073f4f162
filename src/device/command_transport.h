// The command transport: the seam between the drive object and a route to the drive. A route
// sends one command block with a direction, a buffer and a time limit, waits for its end, and
// answers with one result. What happens above a route (the refusals, the second attempt under
// the transfer mark, the last-command record) is the drive object's, once for every route.
#pragma once

#include <cstdint>

#include "host/hi_timer.h"
#include "platform/winapi.h"

namespace quiver {

class OpenDrive;

enum class TransportStatus : std::uint8_t {
    Good,              // the command completed without sense data
    CheckCondition,    // the drive answered with sense data
    TransportFailure,  // the route reported a failure without sense data
    OsError,           // the system call failed; `osError` holds its code (the system's own)
    TimedOut,          // the command ran over its time limit
};

struct TransportResult {
    TransportStatus status = TransportStatus::TransportFailure;
    // Fixed-format sense data, whatever their response code: the low 4 bits of byte 2, and
    // bytes 12 and 13; zero where the route got none.
    std::uint8_t senseKey = 0;
    std::uint8_t asc = 0;
    std::uint8_t ascq = 0;
    std::uint32_t osError = 0;
    // Bytes the data phase moved, with Good; 0 otherwise.
    std::uint32_t transferred = 0;
    double duration = 0.0;  // seconds, as the command timer measured the attempt
};

// Where the selected drive is: the route picks what it needs.
struct DriveAddress {
    HANDLE handle = nullptr;     // the open drive (pass-through)
    OpenDrive* drive = nullptr;  // the open drive (the system's own drive access)
    std::int16_t adapter = -1;
    std::int16_t target = -1;
    std::int16_t lun = -1;
};

struct TransportRequest {
    const std::uint8_t* commandBlock = nullptr;  // 12 bytes
    std::uint8_t direction = 0;                  // kDataOut, kDataIn or kNoData
    void* buffer = nullptr;                      // none for no data
    std::uint32_t length = 0;                    // carried even without a buffer
    std::uint32_t timeLimit = 0;                 // seconds
    DriveAddress address{};
};

class CommandTransport {
  public:
    virtual ~CommandTransport() = default;

    // Whether a request can name its drive at all; under the transfer mark a request to an
    // unreachable drive is refused before anything is sent.
    virtual bool Reaches(const DriveAddress& address) const = 0;
    // Whether the route can take a request now.
    virtual bool Ready() const = 0;
    // Whether the route is done with the request's buffer when Execute returns (a buffer the
    // object does not own may then be handed to it).
    virtual bool Synchronous() const = 0;
    // One attempt: `timer` is started when the request goes out and stopped when it has ended.
    virtual TransportResult Execute(const TransportRequest& request, HiTimer& timer) = 0;

  protected:
    CommandTransport() = default;
    CommandTransport(const CommandTransport&) = default;
    CommandTransport& operator=(const CommandTransport&) = default;
};

// The size of every command block.
constexpr std::size_t kCommandBlockBytes = 12;

}  // namespace quiver
