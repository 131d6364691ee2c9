// Wire format between the device stand-in of the platform layer and a device
// server (the device simulator): one Unix-domain SOCK_SEQPACKET connection per
// opened device handle, one message per request and per answer. All integers
// are little-endian (both ends run on the same machine).
//
//   hello    = WireRequest with id 0 and code kWireHello, then 8 probe bytes
//              that also lie at `output` in the client's memory. A server
//              that can reach the client's memory answers it with
//              kAnswerDirect set; one that cannot answers without it or not
//              at all. Until that answer has come, requests are copied.
//   request  = WireRequest, then the input bytes: all inSize of them, or, for
//              a request flagged kRequestDirect, the first
//              min(inSize, kInlineInput)
//   cancel   = WireRequest with code kWireCancel and inSize 0: the server
//              stops working on the outstanding request `id` and answers it
//              with ERROR_OPERATION_ABORTED, unless it has answered it already
//   answer   = WireAnswer, then the output bytes (at most the request's
//              outSize; `returned` may be larger than the bytes that follow
//              only when the server says so on purpose, e.g. header-only), or,
//              with kAnswerWritten, nothing: the server has written the output
//              straight into the caller's buffer
//
// Direct requests are the device-side counterpart of a driver that maps the
// caller's buffer: the server writes the stream bytes once, into the buffer
// (process_vm_writev), where copying them through the socket would move them
// through the kernel twice. Since the server may be writing into the buffer
// until it answers, a direct request is finished only by its answer: a cancel
// asks the server to end it, and closing the handle waits (bounded) for the
// server to let go of the connection. Copied requests are ended by the
// client at once.
//
// Answers carry the request id, so the server may answer a synchronous control
// request while stream requests issued earlier are still waiting for data.
// Stream requests of one connection are answered in the order they were issued.
#pragma once

#include <cstdint>

namespace vexar::wire
{

constexpr std::uint32_t kWireCancel = 0xFFFFFFFF;
constexpr std::uint32_t kWireHello = 0xFFFFFFFE;
constexpr std::uint32_t kHelloId = 0; // request ids start at 1

// WireRequest::flags
constexpr std::uint32_t kRequestDirect = 1;
// WireAnswer::flags
constexpr std::uint32_t kAnswerDirect = 1;  // answer to the hello: direct requests welcome
constexpr std::uint32_t kAnswerWritten = 2; // the output is already in the caller's buffer

// Input bytes a direct request carries in its message: every request the
// device reads in full (control, status, transfer size) fits.
constexpr std::uint32_t kInlineInput = 512;

struct WireRequest
{
    std::uint32_t id;      // increasing per connection
    std::uint32_t code;    // I/O control code, kWireCancel or kWireHello
    std::uint32_t inSize;  // input bytes of the request
    std::uint32_t outSize; // room for output at the caller
    std::uint64_t output;  // address of the caller's output buffer (direct requests, hello)
    std::uint32_t flags;
    std::uint32_t reserved;
};
static_assert(sizeof(WireRequest) == 32);

struct WireAnswer
{
    std::uint32_t id;
    std::uint32_t error;    // 0, or a Windows error code for a failed request
    std::uint32_t returned; // bytes returned, as DeviceIoControl reports them
    std::uint32_t flags;
};
static_assert(sizeof(WireAnswer) == 16);

// Largest message either side sends: a 131072-byte stream transfer plus its
// 38-byte header, with room to spare.
constexpr std::uint32_t kMaxPayload = 256 * 1024;

} // namespace vexar::wire
