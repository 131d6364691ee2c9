#include "recorder/OutputBudget.h"

namespace vexar
{

std::unique_ptr<WriteChunk> OutputBudget::take()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return takeLocked();
}

std::unique_ptr<WriteChunk> OutputBudget::takeLocked()
{
    if (m_queued.load(std::memory_order_relaxed) + WriteChunk::kRoom > m_limit)
        return nullptr;
    m_queued.fetch_add(WriteChunk::kRoom, std::memory_order_acq_rel);
    if (!m_spares.empty())
    {
        std::unique_ptr<WriteChunk> chunk = std::move(m_spares.back());
        m_spares.pop_back();
        return chunk;
    }
    auto chunk = std::make_unique<WriteChunk>();
    chunk->data.reset(new std::uint8_t[WriteChunk::kRoom]);
    return chunk;
}

std::unique_ptr<WriteChunk> OutputBudget::takeWaiting(std::uint64_t waitLimit, const std::atomic<bool>& stop)
{
    std::unique_lock<std::mutex> lock(m_mutex);
    // The stop is polled: it is set by a thread that does not know this wait.
    while (m_queued.load(std::memory_order_relaxed) + WriteChunk::kRoom > waitLimit && !stop)
        m_returned.wait_for(lock, std::chrono::milliseconds(50));
    return stop ? nullptr : takeLocked();
}

void OutputBudget::giveBack(std::unique_ptr<WriteChunk> chunk)
{
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_queued.fetch_sub(WriteChunk::kRoom, std::memory_order_acq_rel);
        if (m_spares.size() < kSpareChunks)
            m_spares.push_back(std::move(chunk));
    }
    m_returned.notify_all();
}

} // namespace vexar
