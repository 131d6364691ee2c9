// The one request that carries every data transfer to and from the capture
// device: IOCTL_TRANSFER with a buffer that starts with this 38-byte header
// and goes on with the data area. The same buffer is input and output; on
// completion the device reports 38 + the data bytes it moved.
#pragma once

#include "platform/Windows.h"

#include <cstddef>
#include <cstdint>
#include <cstring>

#pragma pack(push, 1)

namespace vexar
{
struct TransferRequest
{
    std::uint8_t reserved0[13];
    std::uint8_t endpoint; // controlEndpoint, statusEndpoint or streamEndpoint
    std::uint8_t reserved1[12];
    std::uint32_t reserved2;  // written explicitly as 0
    std::uint32_t dataOffset; // always kTransferHeaderSize
    std::uint32_t dataLength; // bytes in the data area
};
#pragma pack(pop)
static_assert(sizeof(TransferRequest) == 38, "TransferRequest is the device's 38-byte header");

// The data record of IOCTL_TRANSFER_SIZE: {streamEndpoint, READ_DATA_SIZE}.
#pragma pack(push, 1)
struct TransferSizeRequest
{
    std::uint8_t endpoint;
    std::uint32_t size;
};
#pragma pack(pop)
static_assert(sizeof(TransferSizeRequest) == 5, "TransferSize carries a 5-byte record");

constexpr std::uint8_t controlEndpoint = 0x01; // codes to the device and the box
constexpr std::uint8_t statusEndpoint = 0x81;  // the 128-byte status block
constexpr std::uint8_t streamEndpoint = 0x82;  // transport-stream data

constexpr DWORD IOCTL_TRANSFER = 0x220024;      // device type 0x22, function 9, buffered, any access
constexpr DWORD IOCTL_TRANSFER_SIZE = 0x220038; // device type 0x22, function 14, buffered, any access

constexpr std::uint32_t kTransferHeaderSize = sizeof(TransferRequest);
constexpr std::uint32_t READ_DATA_SIZE = 131072; // data bytes of one stream transfer
constexpr std::uint32_t kStatusDataSize = 128;   // data bytes of a status transfer
constexpr std::uint32_t kMaxCodeSize = 128;      // longest code sent to the control endpoint
constexpr std::uint32_t kReadBufferSize = kTransferHeaderSize + READ_DATA_SIZE;

namespace transfer_detail
{
inline void putLittleEndian32(std::uint8_t* at, std::uint32_t value)
{
    at[0] = static_cast<std::uint8_t>(value);
    at[1] = static_cast<std::uint8_t>(value >> 8);
    at[2] = static_cast<std::uint8_t>(value >> 16);
    at[3] = static_cast<std::uint8_t>(value >> 24);
}
inline std::uint32_t getLittleEndian32(const std::uint8_t* at)
{
    return std::uint32_t(at[0]) | std::uint32_t(at[1]) << 8 | std::uint32_t(at[2]) << 16 |
           std::uint32_t(at[3]) << 24;
}
} // namespace transfer_detail

// Zeroes the header at the start of buffer (which must hold at least
// kTransferHeaderSize bytes) and writes its fields, little-endian whatever
// the host. The data area is left as it is.
inline void fillTransferRequest(void* buffer, std::uint8_t endpoint, std::uint32_t dataLength)
{
    auto* bytes = static_cast<std::uint8_t*>(buffer);
    std::memset(bytes, 0, kTransferHeaderSize);
    bytes[offsetof(TransferRequest, endpoint)] = endpoint;
    transfer_detail::putLittleEndian32(bytes + offsetof(TransferRequest, reserved2), 0);
    transfer_detail::putLittleEndian32(bytes + offsetof(TransferRequest, dataOffset), kTransferHeaderSize);
    transfer_detail::putLittleEndian32(bytes + offsetof(TransferRequest, dataLength), dataLength);
}

// The header fields as the device side reads them from a received buffer of
// at least kTransferHeaderSize bytes.
struct TransferFields
{
    std::uint8_t endpoint;
    std::uint32_t dataOffset;
    std::uint32_t dataLength;
    bool reservedZero; // every reserved byte is zero
};

inline TransferFields readTransferRequest(const void* buffer)
{
    const auto* bytes = static_cast<const std::uint8_t*>(buffer);
    TransferFields fields{};
    fields.endpoint = bytes[offsetof(TransferRequest, endpoint)];
    fields.dataOffset = transfer_detail::getLittleEndian32(bytes + offsetof(TransferRequest, dataOffset));
    fields.dataLength = transfer_detail::getLittleEndian32(bytes + offsetof(TransferRequest, dataLength));
    fields.reservedZero = true;
    for (std::size_t i = 0; i < offsetof(TransferRequest, dataOffset); ++i)
        if (i != offsetof(TransferRequest, endpoint) && bytes[i] != 0)
            fields.reservedZero = false;
    return fields;
}

// Writes the 5-byte TransferSize record into buffer.
inline void fillTransferSizeRequest(void* buffer)
{
    auto* bytes = static_cast<std::uint8_t*>(buffer);
    bytes[0] = streamEndpoint;
    transfer_detail::putLittleEndian32(bytes + 1, READ_DATA_SIZE);
}

} // namespace vexar
