// The memory the output of all recordings may hold while it waits for the
// disk (or the network), and the chunks that hold it.
//
// One bound covers every file being written, the one being recorded and
// those still being written out after their recording ended, so a stalled
// disk cannot grow memory until the process dies. It counts what the
// chunks really take (their room, not the bytes in them). Chunks are
// reused: fresh ones cost the system a mapping and page faults each.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

namespace vexar
{

struct WriteChunk
{
    static constexpr std::uint32_t kRoom = 262144; // bytes every chunk can hold
    std::uint64_t position = 0;                    // where the chunk goes in its file
    std::uint32_t size = 0;                        // bytes in the chunk
    std::unique_ptr<std::uint8_t[]> data;
};

class OutputBudget
{
public:
    // Most memory held by queued chunks: about a minute of a cable multiplex.
    static constexpr std::uint64_t kMaxQueuedBytes = std::uint64_t(256) << 20;

    explicit OutputBudget(std::uint64_t limit = kMaxQueuedBytes) : m_limit(limit) {}
    OutputBudget(const OutputBudget&) = delete;
    OutputBudget& operator=(const OutputBudget&) = delete;

    std::uint64_t limit() const { return m_limit; }
    // Memory held by chunks handed to files and not yet written.
    std::uint64_t queued() const { return m_queued.load(std::memory_order_acquire); }

    // A chunk from the spares, or a new one when there is room for it in
    // the bound; null when there is none.
    std::unique_ptr<WriteChunk> take();
    // As take(), but waits while the queue holds more than waitLimit,
    // until stop is set (then null). For a source that can wait (a file).
    std::unique_ptr<WriteChunk> takeWaiting(std::uint64_t waitLimit, const std::atomic<bool>& stop);
    // A chunk that is no longer queued: kept as a spare or freed.
    void giveBack(std::unique_ptr<WriteChunk> chunk);

private:
    std::unique_ptr<WriteChunk> takeLocked(); // m_mutex held
    static constexpr std::size_t kSpareChunks = 24;
    std::uint64_t m_limit;
    std::atomic<std::uint64_t> m_queued{0};
    std::mutex m_mutex;
    std::condition_variable m_returned;
    std::vector<std::unique_ptr<WriteChunk>> m_spares;
};

} // namespace vexar
