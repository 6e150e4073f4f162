// The device requests as Windows answers them, for the backends that have no Windows underneath:
// the drive string list, the storage property query and the SCSI pass-through block. Each
// backend supplies what only it knows (its roots, a drive's identity, the command's outcome);
// the checks of the caller's buffers and the layouts of the answers are the same for all.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "platform/winapi.h"

namespace quiver {

// GetLogicalDriveStringsA's answer for these roots ("X:\" each): the list with its final zero
// copied into the buffer and its length without that zero, or, where the buffer is missing or
// too short, the size it needs (0 for no roots).
DWORD CopyDriveStrings(const std::vector<std::string>& roots, DWORD bufferLength, char* buffer);

enum class StorageQueryKind { Exists, Standard };

// Reads an IOCTL_STORAGE_QUERY_PROPERTY request for the device property: ERROR_SUCCESS with the
// kind of query, or the error the system reports for the request. A standard query needs room
// for at least the descriptor's Version and Size.
DWORD ReadStorageQuery(const void* in, DWORD inSize, const void* out, DWORD outSize,
                       StorageQueryKind* kind);

// Writes the device descriptor of an optical drive, followed by its vendor, product and
// revision texts (padded, each with its zero), cut to `outSize`; returns the bytes written.
DWORD WriteStorageDescriptor(const std::string& vendor, const std::string& product,
                             const std::string& revision, STORAGE_BUS_TYPE bus, void* out,
                             DWORD outSize);

// The longest time limit a pass-through request may ask for.
constexpr ULONG kMaxPassThroughSeconds = 108'000;

// Reads and checks an IOCTL_SCSI_PASS_THROUGH_DIRECT request: ERROR_SUCCESS with the block in
// `*request`, or ERROR_INVALID_PARAMETER for a block the system would refuse.
DWORD ReadPassThrough(const void* in, DWORD inSize, const void* out, DWORD outSize,
                      SCSI_PASS_THROUGH_DIRECT* request);

// Writes the answer of a request that reached the drive: the sense bytes (as many of
// `senseAvailable` as the request has room for) at the request's sense offset, then the block
// with their count. Returns the bytes the request reports as returned.
DWORD WritePassThroughReply(SCSI_PASS_THROUGH_DIRECT& request, const std::uint8_t* sense,
                            std::size_t senseAvailable, void* out);

}  // namespace quiver
