#include "devsim/SimulatedDevice.h"

#include "contract/TransferRequest.h"
#include "devsim/SimLog.h"
#include "platform/Windows.h"

#include <algorithm>
#include <cmath>
#include <cstring>

namespace {

constexpr std::size_t kBurst = 4 * READ_DATA_SIZE; // most stream bytes the pacing lets out at once

DeviceAnswer failure(std::uint32_t error) { return DeviceAnswer{error, 0, {}}; }

// The request's own bytes back: what the device returns for a control
// transfer or a TransferSize record.
DeviceAnswer echo(const std::uint8_t* input, std::size_t inputSize, std::size_t outSize)
{
    const std::size_t n = std::min(inputSize, outSize);
    return DeviceAnswer{0, static_cast<std::uint32_t>(inputSize), std::vector<std::uint8_t>(input, input + n)};
}

} // namespace

SimulatedDevice::SimulatedDevice(CableBox& box, std::uint64_t rate, DeviceFaults faults, StreamFaults streamFaults)
    : m_box(box), m_rate(rate), m_faults(faults), m_streamFaults(streamFaults), m_lastRefill(Clock::now())
{
}

void SimulatedDevice::opened()
{
    m_streamRequests.clear();
    m_streamBytes = 0;
    m_statusServed = 0;
    m_sendsServed = 0;
    m_dropping = false;
    m_tokens = 0;
    m_lastRefill = Clock::now();
    m_box.connected();
}

std::optional<DeviceAnswer> SimulatedDevice::request(std::uint32_t id, std::uint32_t code, const std::uint8_t* input,
                                                     std::size_t inputSize, std::size_t available,
                                                     std::size_t outSize, std::uint64_t context)
{
    if (code == IOCTL_TRANSFER)
        return transfer(id, input, inputSize, available, outSize, context);
    if (code == IOCTL_TRANSFER_SIZE) {
        if (inputSize != sizeof(TransferSizeRequest) || available < inputSize) {
            simLog("transfer-size bad length ", inputSize);
            return failure(ERROR_INVALID_PARAMETER);
        }
        const std::uint32_t size = transfer_detail::getLittleEndian32(input + 1);
        simLog("transfer-size 0x", std::hex, static_cast<unsigned>(input[0]), std::dec, " ", size);
        return echo(input, inputSize, outSize);
    }
    simLog("unknown ioctl 0x", std::hex, code);
    return failure(ERROR_INVALID_FUNCTION);
}

std::optional<DeviceAnswer> SimulatedDevice::transfer(std::uint32_t id, const std::uint8_t* input,
                                                      std::size_t inputSize, std::size_t available,
                                                      std::size_t outSize, std::uint64_t context)
{
    if (inputSize < TRANSFER_HEADER_SIZE || available < TRANSFER_HEADER_SIZE) {
        simLog("bad transfer: ", inputSize, " bytes");
        return failure(ERROR_INVALID_PARAMETER);
    }
    const TransferFields fields = readTransferRequest(input);
    const std::size_t dataSize = inputSize - TRANSFER_HEADER_SIZE;
    if (fields.dataOffset != TRANSFER_HEADER_SIZE || fields.dataLength != dataSize || !fields.reservedZero ||
        outSize < inputSize) {
        simLog("bad transfer header: endpoint 0x", std::hex, static_cast<unsigned>(fields.endpoint), std::dec,
               " offset ", fields.dataOffset, " length ", fields.dataLength, " size ", inputSize, " room ", outSize);
        return failure(ERROR_INVALID_PARAMETER);
    }
    if (fields.endpoint != streamEndpoint && inputSize > available) {
        simLog("bad transfer: ", inputSize, " bytes to endpoint 0x", std::hex, static_cast<unsigned>(fields.endpoint));
        return failure(ERROR_INVALID_PARAMETER);
    }
    switch (fields.endpoint) {
    case controlEndpoint:
        if (dataSize < 1 || dataSize > MAX_CODE_SIZE) {
            simLog("bad code length ", dataSize);
            return failure(ERROR_INVALID_PARAMETER);
        }
        if (m_faults.sendFailAfter >= 0 && m_sendsServed >= m_faults.sendFailAfter) {
            simLog("fault send failed");
            return failure(ERROR_GEN_FAILURE);
        }
        ++m_sendsServed;
        m_box.control(input + TRANSFER_HEADER_SIZE, dataSize);
        return echo(input, inputSize, outSize);
    case statusEndpoint: {
        if (m_faults.statusFailAfter >= 0 && m_statusServed >= m_faults.statusFailAfter) {
            simLog("fault status failed");
            return failure(ERROR_GEN_FAILURE);
        }
        ++m_statusServed;
        const auto status = m_box.status();
        const std::size_t count = std::min(dataSize, status.size());
        DeviceAnswer answer;
        answer.output.assign(input, input + TRANSFER_HEADER_SIZE);
        answer.output.insert(answer.output.end(), status.begin(), status.begin() + static_cast<std::ptrdiff_t>(count));
        answer.returned = static_cast<std::uint32_t>(answer.output.size());
        simLog("status power ", m_box.powered() ? "on" : "off");
        return answer;
    }
    case streamEndpoint: {
        StreamRequest pending{id, static_cast<std::uint32_t>(std::min<std::size_t>(dataSize, READ_DATA_SIZE)), {},
                              context};
        std::memcpy(pending.header, input, TRANSFER_HEADER_SIZE);
        m_streamRequests.push_back(pending);
        return std::nullopt;
    }
    default:
        simLog("bad transfer endpoint 0x", std::hex, static_cast<unsigned>(fields.endpoint));
        return failure(ERROR_INVALID_PARAMETER);
    }
}

bool SimulatedDevice::cancel(std::uint32_t id)
{
    const auto it = std::find_if(m_streamRequests.begin(), m_streamRequests.end(),
                                 [&](const StreamRequest& r) { return r.id == id; });
    if (it == m_streamRequests.end())
        return false;
    m_streamRequests.erase(it);
    return true;
}

std::optional<std::uint64_t> SimulatedDevice::nextStreamContext() const
{
    if (m_streamRequests.empty())
        return std::nullopt;
    return m_streamRequests.front().context;
}

int SimulatedDevice::msUntilStream() const
{
    if (m_rate == 0 || m_streamRequests.empty() || !m_box.streaming() || m_dropping)
        return -1;
    const double missing = static_cast<double>(m_streamRequests.front().room) - m_tokens;
    if (missing <= 0)
        return 0;
    return static_cast<int>(std::ceil(missing * 8000.0 / static_cast<double>(m_rate)));
}

std::optional<StreamCompletion> SimulatedDevice::completeStream()
{
    const Clock::time_point now = Clock::now();
    if (m_rate != 0 && m_box.streaming()) {
        const double elapsed = std::chrono::duration<double>(now - m_lastRefill).count();
        m_tokens = std::min(m_tokens + elapsed * static_cast<double>(m_rate) / 8.0, static_cast<double>(kBurst));
    }
    m_lastRefill = now;
    if (m_dropping || m_streamRequests.empty() || !m_box.streaming())
        return std::nullopt;

    const StreamRequest request = m_streamRequests.front();
    StreamCompletion completion;
    completion.id = request.id;
    completion.context = request.context;
    const auto limitReached = [&](std::int64_t limit) {
        return limit >= 0 && m_streamBytes >= static_cast<std::uint64_t>(limit);
    };
    if (limitReached(m_faults.streamFailAfter)) {
        m_streamRequests.pop_front();
        simLog("fault stream failed after ", m_streamBytes, " bytes");
        completion.error = ERROR_GEN_FAILURE;
        return completion;
    }
    if (limitReached(m_faults.eofAfter)) {
        m_streamRequests.pop_front();
        simLog("fault eof after ", m_streamBytes, " bytes");
        m_completed = request;
        completion.header = m_completed.header;
        completion.returned = TRANSFER_HEADER_SIZE;
        return completion;
    }
    std::uint64_t n = request.room;
    for (std::int64_t limit : {m_faults.streamFailAfter, m_faults.eofAfter, m_faults.dropAfter})
        if (limit >= 0)
            n = std::min<std::uint64_t>(n, static_cast<std::uint64_t>(limit) - m_streamBytes);
    if (m_rate != 0 && m_tokens < static_cast<double>(n))
        return std::nullopt; // paced: msUntilStream tells when enough has accrued
    m_streamRequests.pop_front();
    m_tokens -= m_rate != 0 ? static_cast<double>(n) : 0.0;

    StreamSource& source = m_box.output();
    const auto count = static_cast<std::size_t>(n);
    if (source.canLend(count, m_streamFaults)) {
        completion.pieces = source.lend(count, completion.spans);
    } else { // faults change the bytes on their way out
        m_staging.resize(count);
        source.read(m_staging.data(), count, m_streamFaults);
        completion.spans[0] = {m_staging.data(), count};
        completion.pieces = 1;
    }
    m_completed = request;
    completion.header = m_completed.header;
    completion.returned = static_cast<std::uint32_t>(TRANSFER_HEADER_SIZE + count);
    m_streamBytes += n;
    if (limitReached(m_faults.dropAfter))
        m_dropping = true;
    return completion;
}
