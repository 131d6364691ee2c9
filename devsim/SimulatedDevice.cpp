#include "devsim/SimulatedDevice.h"

#include "contract/TransferRequest.h"
#include "devsim/SimLog.h"
#include "platform/Windows.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <utility>

namespace vexar
{

namespace
{

constexpr std::uint64_t kPacket = 188;

DeviceAnswer failure(std::uint32_t error)
{
    return DeviceAnswer{error, 0, {}};
}

// The request's own bytes back: what the device returns for a control
// transfer or a TransferSize record.
DeviceAnswer echo(const std::uint8_t* input, std::size_t inputSize, std::size_t outSize)
{
    const std::size_t n = std::min(inputSize, outSize);
    return DeviceAnswer{0, static_cast<std::uint32_t>(inputSize),
                        std::vector<std::uint8_t>(input, input + n)};
}

} // namespace

SimulatedDevice::SimulatedDevice(CableBox& box, std::uint64_t rate, std::uint64_t fifo, DeviceFaults faults,
                                 StreamFaults streamFaults)
    : m_box(box), m_rate(rate), m_fifo(fifo), m_faults(faults), m_streamFaults(streamFaults),
      m_lastAdvance(Clock::now())
{
}

void SimulatedDevice::opened()
{
    m_streamRequests.clear();
    m_streamBytes = 0;
    m_statusServed = 0;
    m_sendsServed = 0;
    m_dropping = false;
    m_reading = false;
    m_held = 0;
    m_fraction = 0;
    m_lastAdvance = Clock::now();
    m_stalled = false;
    m_pauseEnd = {};
    m_hungId.reset();
    m_stallDone = m_pauseDone = m_hangDone = false;
    m_completedAt.clear();
    m_longestReissueMs = 0;
    m_leastHeadroom.reset();
    m_box.connected();
}

void SimulatedDevice::closed()
{
    if (m_rate == 0 || !m_leastHeadroom)
        return;
    simLog("reading: longest re-issue wait ", static_cast<std::uint64_t>(m_longestReissueMs),
           " ms, least headroom ", *m_leastHeadroom, " bytes");
}

std::optional<DeviceAnswer> SimulatedDevice::request(std::uint32_t id, std::uint32_t code,
                                                     const std::uint8_t* input, std::size_t inputSize,
                                                     std::size_t available, std::size_t outSize,
                                                     std::uint64_t context)
{
    // The box went on sending until now, into what waited until now.
    advance(Clock::now());
    if (code == IOCTL_TRANSFER)
        return transfer(id, input, inputSize, available, outSize, context);
    if (code == IOCTL_TRANSFER_SIZE)
    {
        if (inputSize != sizeof(TransferSizeRequest) || available < inputSize)
        {
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
    if (inputSize < kTransferHeaderSize || available < kTransferHeaderSize)
    {
        simLog("bad transfer: ", inputSize, " bytes");
        return failure(ERROR_INVALID_PARAMETER);
    }
    const TransferFields fields = readTransferRequest(input);
    const std::size_t dataSize = inputSize - kTransferHeaderSize;
    if (fields.dataOffset != kTransferHeaderSize || fields.dataLength != dataSize || !fields.reservedZero ||
        outSize < inputSize)
    {
        simLog("bad transfer header: endpoint 0x", std::hex, static_cast<unsigned>(fields.endpoint), std::dec,
               " offset ", fields.dataOffset, " length ", fields.dataLength, " size ", inputSize, " room ",
               outSize);
        return failure(ERROR_INVALID_PARAMETER);
    }
    if (fields.endpoint != streamEndpoint && inputSize > available)
    {
        simLog("bad transfer: ", inputSize, " bytes to endpoint 0x", std::hex,
               static_cast<unsigned>(fields.endpoint));
        return failure(ERROR_INVALID_PARAMETER);
    }
    switch (fields.endpoint)
    {
    case controlEndpoint:
        if (dataSize < 1 || dataSize > kMaxCodeSize)
        {
            simLog("bad code length ", dataSize);
            return failure(ERROR_INVALID_PARAMETER);
        }
        if (m_faults.sendFailAfter >= 0 && m_sendsServed >= m_faults.sendFailAfter)
        {
            simLog("fault send failed");
            return failure(ERROR_GEN_FAILURE);
        }
        ++m_sendsServed;
        m_box.control(input + kTransferHeaderSize, dataSize);
        return echo(input, inputSize, outSize);
    case statusEndpoint:
    {
        if (m_faults.statusFailAfter >= 0 && m_statusServed >= m_faults.statusFailAfter)
        {
            simLog("fault status failed");
            return failure(ERROR_GEN_FAILURE);
        }
        ++m_statusServed;
        const auto status = m_box.status();
        const std::size_t count = std::min(dataSize, status.size());
        DeviceAnswer answer;
        answer.output.assign(input, input + kTransferHeaderSize);
        answer.output.insert(answer.output.end(), status.begin(),
                             status.begin() + static_cast<std::ptrdiff_t>(count));
        answer.returned = static_cast<std::uint32_t>(answer.output.size());
        simLog("status power ", m_box.powered() ? "on" : "off");
        return answer;
    }
    case streamEndpoint:
    {
        StreamRequest pending{
            id, static_cast<std::uint32_t>(std::min<std::size_t>(dataSize, READ_DATA_SIZE)), {}, context};
        std::memcpy(pending.header, input, kTransferHeaderSize);
        m_streamRequests.push_back(pending);
        if (m_reading && !m_completedAt.empty())
        {
            // The program issues its transfers again in order: this one
            // takes the place of the oldest completed.
            const double waited =
                std::chrono::duration<double, std::milli>(Clock::now() - m_completedAt.front()).count();
            m_longestReissueMs = std::max(m_longestReissueMs, waited);
            m_completedAt.pop_front();
        }
        m_reading = true;
        return std::nullopt;
    }
    default:
        simLog("bad transfer endpoint 0x", std::hex, static_cast<unsigned>(fields.endpoint));
        return failure(ERROR_INVALID_PARAMETER);
    }
}

bool SimulatedDevice::cancel(std::uint32_t id)
{
    advance(Clock::now());
    if (m_hungId == id)
        m_hungId.reset();
    const auto it = std::find_if(m_streamRequests.begin(), m_streamRequests.end(),
                                 [&](const StreamRequest& r) { return r.id == id; });
    if (it == m_streamRequests.end())
        return false;
    m_streamRequests.erase(it);
    if (m_streamRequests.empty())
    {
        m_reading = false; // the program has stopped reading
        m_completedAt.clear();
    }
    return true;
}

std::optional<std::uint64_t> SimulatedDevice::nextStreamContext() const
{
    if (m_streamRequests.empty())
        return std::nullopt;
    return m_streamRequests.front().context;
}

bool SimulatedDevice::producing(Clock::time_point now) const
{
    return m_box.streaming() && !m_stalled && now >= m_pauseEnd;
}

void SimulatedDevice::advance(Clock::time_point now)
{
    const Clock::time_point last = std::exchange(m_lastAdvance, now);
    if (m_rate == 0 || !producing(now))
        return;
    // A pause that ended within the interval: the box sent only after it.
    const double seconds = std::chrono::duration<double>(now - std::max(last, m_pauseEnd)).count();
    const double sent = seconds * static_cast<double>(m_rate) / 8.0 + m_fraction;
    const auto whole = static_cast<std::uint64_t>(sent);
    m_fraction = sent - static_cast<double>(whole);
    m_held += whole;

    std::uint64_t room = m_fifo;
    for (const StreamRequest& request : m_streamRequests)
        if (request.id != m_hungId)
            room += request.room;
    if (m_reading && m_rate != 0)
    {
        const std::uint64_t headroom = room > m_held ? room - m_held : 0;
        m_leastHeadroom = std::min(m_leastHeadroom.value_or(headroom), headroom);
    }
    if (m_held <= room)
        return;
    const std::uint64_t packets = (m_held - room + kPacket - 1) / kPacket;
    const std::uint64_t lost = std::min(packets * kPacket, m_held);
    m_held -= lost;
    m_box.output().skip(lost);
    if (!m_reading)
        return;
    m_droppedPackets += packets;
    simLog("overflow: ", packets, " packets dropped");
}

bool SimulatedDevice::held(Clock::time_point now)
{
    const StreamRequest& request = m_streamRequests.front();
    const auto reached = [this](std::int64_t limit)
    { return limit >= 0 && m_streamBytes >= static_cast<std::uint64_t>(limit); };
    if (!m_hangDone && reached(m_faults.hangAfter))
    {
        m_hangDone = true;
        m_hungId = request.id;
        simLog("fault transfer hung after ", m_streamBytes, " bytes");
    }
    if (m_hungId == request.id)
        return true;
    if (!m_stallDone && reached(m_faults.stallAfter))
    {
        m_stallDone = true;
        m_stalled = true;
        m_stallStarts = m_box.streamStarts();
        m_held = 0;
        simLog("fault stream stalled after ", m_streamBytes, " bytes");
    }
    if (m_stalled)
    {
        if (m_box.streamStarts() == m_stallStarts)
            return true;
        m_stalled = false;
        m_lastAdvance = now;
        simLog("stream restarted");
    }
    if (!m_pauseDone && reached(m_faults.pauseAfter))
    {
        m_pauseDone = true;
        m_pauseEnd = now + std::chrono::milliseconds(m_faults.pauseMs);
        simLog("fault stream paused for ", m_faults.pauseMs, " ms after ", m_streamBytes, " bytes");
    }
    return now < m_pauseEnd;
}

int SimulatedDevice::msUntilStream() const
{
    if (m_streamRequests.empty() || !m_box.streaming() || m_dropping || m_stalled ||
        m_hungId == m_streamRequests.front().id)
        return -1;
    const Clock::time_point now = Clock::now();
    double wait = 0;
    if (now < m_pauseEnd)
        wait = std::chrono::duration<double, std::milli>(m_pauseEnd - now).count();
    else if (m_rate == 0)
        return -1;
    if (m_rate != 0)
    {
        const double missing =
            static_cast<double>(m_streamRequests.front().room) - static_cast<double>(m_held);
        if (missing > 0)
            wait += missing * 8000.0 / static_cast<double>(m_rate);
    }
    return static_cast<int>(std::ceil(wait));
}

std::optional<StreamCompletion> SimulatedDevice::completeStream()
{
    const Clock::time_point now = Clock::now();
    advance(now);
    if (m_dropping || m_streamRequests.empty() || !m_box.streaming() || held(now))
        return std::nullopt;

    const StreamRequest request = m_streamRequests.front();
    StreamCompletion completion;
    completion.id = request.id;
    completion.context = request.context;
    const auto limitReached = [&](std::int64_t limit)
    { return limit >= 0 && m_streamBytes >= static_cast<std::uint64_t>(limit); };
    if (limitReached(m_faults.streamFailAfter))
    {
        m_streamRequests.pop_front();
        simLog("fault stream failed after ", m_streamBytes, " bytes");
        completion.error = ERROR_GEN_FAILURE;
        return completion;
    }
    if (limitReached(m_faults.eofAfter))
    {
        m_streamRequests.pop_front();
        simLog("fault eof after ", m_streamBytes, " bytes");
        m_completed = request;
        completion.header = m_completed.header;
        completion.returned = kTransferHeaderSize;
        return completion;
    }
    std::uint64_t n = request.room;
    for (std::int64_t limit : {m_faults.streamFailAfter, m_faults.eofAfter, m_faults.dropAfter,
                               m_faults.stallAfter, m_faults.pauseAfter, m_faults.hangAfter})
        if (limit >= 0 && static_cast<std::uint64_t>(limit) > m_streamBytes)
            n = std::min<std::uint64_t>(n, static_cast<std::uint64_t>(limit) - m_streamBytes);
    if (m_rate != 0)
    {
        if (m_held < n)
            return std::nullopt; // msUntilStream tells when enough has come
        m_held -= n;
    }
    m_streamRequests.pop_front();

    StreamSource& source = m_box.output();
    const auto count = static_cast<std::size_t>(n);
    if (source.canLend(count, m_streamFaults))
    {
        completion.pieces = source.lend(count, completion.spans);
    }
    else
    { // faults change the bytes on their way out
        m_staging.resize(count);
        source.read(m_staging.data(), count, m_streamFaults);
        completion.spans[0] = {m_staging.data(), count};
        completion.pieces = 1;
    }
    m_completed = request;
    completion.header = m_completed.header;
    completion.returned = static_cast<std::uint32_t>(kTransferHeaderSize + count);
    m_streamBytes += n;
    m_completedAt.push_back(now);
    if (limitReached(m_faults.dropAfter))
        m_dropping = true;
    return completion;
}

} // namespace vexar
