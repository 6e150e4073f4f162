#include "platform/device_requests.h"

#include <algorithm>
#include <cstring>

namespace quiver {

namespace {

constexpr std::size_t kSptdSize = sizeof(SCSI_PASS_THROUGH_DIRECT);

void AppendPadded(std::vector<std::uint8_t>& out, const std::string& text, std::size_t width) {
    std::string field = text.substr(0, width);
    field.resize(width, ' ');
    out.insert(out.end(), field.begin(), field.end());
    out.push_back(0);
}

}  // namespace

DWORD CopyDriveStrings(const std::vector<std::string>& roots, DWORD bufferLength, char* buffer) {
    std::string list;
    for (const std::string& root : roots) {
        list += root;
        list += '\0';
    }
    const auto length = static_cast<DWORD>(list.size());  // without the final zero
    if (buffer == nullptr || bufferLength < length + 1) {
        return length == 0 ? 0 : length + 1;
    }
    std::memcpy(buffer, list.data(), list.size());
    buffer[length] = '\0';
    return length;
}

DWORD ReadStorageQuery(const void* in, DWORD inSize, const void* out, DWORD outSize,
                       StorageQueryKind* kind) {
    if (in == nullptr || inSize < sizeof(STORAGE_PROPERTY_QUERY)) {
        return ERROR_INVALID_PARAMETER;
    }
    std::int32_t property = 0;
    std::int32_t query = 0;
    std::memcpy(&property, in, sizeof property);
    std::memcpy(&query, static_cast<const std::uint8_t*>(in) + sizeof property, sizeof query);
    if (property != StorageDeviceProperty) {
        return ERROR_INVALID_FUNCTION;
    }
    if (query == PropertyExistsQuery) {
        *kind = StorageQueryKind::Exists;
        return ERROR_SUCCESS;
    }
    if (query != PropertyStandardQuery) {
        return ERROR_INVALID_PARAMETER;
    }
    if (out == nullptr || outSize < 2 * sizeof(ULONG)) {  // at least Version and Size
        return ERROR_INSUFFICIENT_BUFFER;
    }
    *kind = StorageQueryKind::Standard;
    return ERROR_SUCCESS;
}

DWORD WriteStorageDescriptor(const std::string& vendor, const std::string& product,
                             const std::string& revision, STORAGE_BUS_TYPE bus, void* out,
                             DWORD outSize) {
    // The descriptor head, then the identity strings it points at.
    std::vector<std::uint8_t> strings;
    AppendPadded(strings, vendor, 8);
    AppendPadded(strings, product, 16);
    AppendPadded(strings, revision, 4);
    STORAGE_DEVICE_DESCRIPTOR head{};
    head.Version = sizeof(STORAGE_DEVICE_DESCRIPTOR);
    head.Size = static_cast<ULONG>(sizeof head + strings.size());
    head.DeviceType = 5;
    head.RemovableMedia = 1;
    head.VendorIdOffset = sizeof head;
    head.ProductIdOffset = sizeof head + 9;
    head.ProductRevisionOffset = sizeof head + 9 + 17;
    head.BusType = bus;

    std::vector<std::uint8_t> reply(sizeof head);
    std::memcpy(reply.data(), &head, sizeof head);
    reply.insert(reply.end(), strings.begin(), strings.end());
    const auto count = static_cast<DWORD>(std::min<std::size_t>(outSize, reply.size()));
    std::memcpy(out, reply.data(), count);
    return count;
}

DWORD ReadPassThrough(const void* in, DWORD inSize, const void* out, DWORD outSize,
                      SCSI_PASS_THROUGH_DIRECT* request) {
    if (in == nullptr || out == nullptr || inSize < kSptdSize || outSize < kSptdSize) {
        return ERROR_INVALID_PARAMETER;
    }
    SCSI_PASS_THROUGH_DIRECT& sptd = *request;
    std::memcpy(&sptd, in, kSptdSize);
    const bool moves = sptd.DataIn == SCSI_IOCTL_DATA_IN || sptd.DataIn == SCSI_IOCTL_DATA_OUT;
    const bool valid =
        sptd.Length == kSptdSize && sptd.CdbLength >= 1 && sptd.CdbLength <= sizeof sptd.Cdb &&
        sptd.DataIn <= SCSI_IOCTL_DATA_UNSPECIFIED &&
        !(moves && sptd.DataTransferLength > 0 && sptd.DataBuffer == nullptr) &&
        sptd.TimeOutValue >= 1 && sptd.TimeOutValue <= kMaxPassThroughSeconds &&
        (sptd.SenseInfoLength == 0 ||
         (sptd.SenseInfoOffset >= kSptdSize &&
          static_cast<std::uint64_t>(sptd.SenseInfoOffset) + sptd.SenseInfoLength <= outSize));
    return valid ? ERROR_SUCCESS : ERROR_INVALID_PARAMETER;
}

DWORD WritePassThroughReply(SCSI_PASS_THROUGH_DIRECT& request, const std::uint8_t* sense,
                            std::size_t senseAvailable, void* out) {
    const std::size_t senseBytes = std::min<std::size_t>(senseAvailable, request.SenseInfoLength);
    if (senseBytes > 0) {
        std::memcpy(static_cast<std::uint8_t*>(out) + request.SenseInfoOffset, sense, senseBytes);
    }
    request.SenseInfoLength = static_cast<UCHAR>(senseBytes);
    std::memcpy(out, &request, kSptdSize);
    return static_cast<DWORD>(senseBytes > 0 ? request.SenseInfoOffset + senseBytes : kSptdSize);
}

}  // namespace quiver
