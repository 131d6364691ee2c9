// Wire format between the device stand-in of the platform layer and a device
// server (the device simulator): one Unix-domain SOCK_SEQPACKET connection per
// opened device handle, one message per request and per answer. All integers
// are little-endian (both ends run on the same machine).
//
//   request  = WireRequest, then inSize bytes of input
//   cancel   = WireRequest with code kWireCancel and inSize 0: the server drops
//              the outstanding request `id` without answering it
//   answer   = WireAnswer, then the output bytes (at most the request's
//              outSize; `returned` may be larger than the bytes that follow
//              only when the server says so on purpose, e.g. header-only)
//
// Answers carry the request id, so the server may answer a synchronous control
// request while stream requests issued earlier are still waiting for data.
// Stream requests of one connection are answered in the order they were issued.
#pragma once

#include <cstdint>

namespace wire {

constexpr std::uint32_t kWireCancel = 0xFFFFFFFF;

struct WireRequest {
    std::uint32_t id;      // increasing per connection
    std::uint32_t code;    // I/O control code, or kWireCancel
    std::uint32_t inSize;  // input bytes that follow
    std::uint32_t outSize; // room for output at the caller
};
static_assert(sizeof(WireRequest) == 16);

struct WireAnswer {
    std::uint32_t id;
    std::uint32_t error;    // 0, or a Windows error code for a failed request
    std::uint32_t returned; // bytes returned, as DeviceIoControl reports them
    std::uint32_t reserved;
};
static_assert(sizeof(WireAnswer) == 16);

// Largest message either side sends: a 131072-byte stream transfer plus its
// 38-byte header, with room to spare.
constexpr std::uint32_t kMaxPayload = 256 * 1024;

} // namespace wire
