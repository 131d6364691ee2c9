#include "recorder/OutputWriter.h"

#include <algorithm>
#include <cstring>
#include <iostream>
#include <stdexcept>
#include <utility>

namespace vexar
{

OutputWriter::~OutputWriter()
{
    finish();
}

void OutputWriter::open(std::shared_ptr<OutputFile> file, std::uint64_t circularBufferSize)
{
    finish();
    m_file = std::move(file);
    m_circularBufferSize = circularBufferSize;
    m_writePosition = 0;
}

OutputWriter::ChunkPlace OutputWriter::chunkAt(std::uint64_t position) const
{
    if (m_circularBufferSize == 0)
        return {position, kChunkSize};
    if (position >= m_circularBufferSize)
        position = 0; // the wrap: overwrite from the start
    return {position, static_cast<std::uint32_t>(
                          std::min<std::uint64_t>(kCircularChunkSize, m_circularBufferSize - position))};
}

bool OutputWriter::takeChunks(std::uint32_t count)
{
    // The sizes the next chunks will have, worked out from where they start.
    std::size_t needed = 0;
    for (std::uint64_t left = count, position = m_writePosition; left > 0; ++needed)
    {
        const ChunkPlace place = chunkAt(position);
        position = place.position + place.size;
        left -= std::min<std::uint64_t>(left, place.size);
    }
    const bool wasDropping = m_droppedBytes > 0;
    // Once dropping, nothing is taken until the queue has drained to half, so
    // a disk that only just keeps up gets one line, not one per chunk.
    if (wasDropping && !m_waitUntilStop && m_budget.queued() > m_budget.limit() / 2)
        return false;
    for (std::size_t i = 0; i < needed; ++i)
    {
        std::unique_ptr<WriteChunk> chunk =
            m_waitUntilStop ? m_budget.takeWaiting(kWaitingQueuedBytes, *m_waitUntilStop) : m_budget.take();
        if (!chunk)
        {
            for (auto& taken : m_taken)
                m_budget.giveBack(std::move(taken));
            m_taken.clear();
            return false;
        }
        m_taken.push_back(std::move(chunk));
    }
    if (wasDropping)
        reportDropped();
    return true;
}

void OutputWriter::startChunk(std::unique_ptr<WriteChunk> chunk)
{
    const ChunkPlace place = chunkAt(m_writePosition);
    chunk->position = place.position;
    chunk->size = place.size;
    m_writePosition = place.position + place.size;
    m_fillChunk = std::move(chunk);
    m_fillPosition = 0;
}

void OutputWriter::write(const void* data, std::uint32_t count)
{
    if (m_file->failed())
    {
        m_file->markReported();
        throw std::runtime_error(m_file->errorText());
    }
    // The common case, a packet into the chunk being filled.
    if (m_fillChunk && count < m_fillChunk->size - m_fillPosition)
    {
        std::memcpy(m_fillChunk->data.get() + m_fillPosition, data, count);
        m_fillPosition += count;
        m_bytesTaken += count;
        return;
    }
    // A source that can wait hands an MPTS copy over in whole blocks: they
    // go to the file at once, without a copy (nothing obliges it to keep
    // one small write in flight).
    if (m_waitUntilStop && m_circularBufferSize == 0 && count >= kWriteThroughSize && !m_fillChunk &&
        !m_file->isUpload())
    {
        if (!m_file->writeThrough(m_writePosition, static_cast<const std::uint8_t*>(data), count))
        {
            m_file->markReported();
            throw std::runtime_error(m_file->errorText());
        }
        m_writePosition += count;
        m_bytesTaken += count;
        return;
    }
    const std::uint32_t room = m_fillChunk ? m_fillChunk->size - m_fillPosition : 0;
    if (count > room && !takeChunks(count - room))
    {
        // A stop ends a wait for the disk: what is left is not a loss.
        if (m_waitUntilStop && *m_waitUntilStop)
            return;
        m_droppedBytes += count;
        m_bytesDroppedTotal += count;
        return;
    }
    m_bytesTaken += count;
    const auto* bytes = static_cast<const std::uint8_t*>(data);
    std::size_t next = 0;
    while (count > 0)
    {
        if (!m_fillChunk)
            startChunk(std::move(m_taken[next++]));
        const std::uint32_t n = std::min(count, m_fillChunk->size - m_fillPosition);
        std::memcpy(m_fillChunk->data.get() + m_fillPosition, bytes, n);
        m_fillPosition += n;
        bytes += n;
        count -= n;
        if (m_fillPosition == m_fillChunk->size)
            m_file->push(std::move(m_fillChunk));
    }
    m_taken.clear();
}

void OutputWriter::reportDropped()
{
    if (m_droppedBytes == 0)
        return;
    std::cerr << "VexarHDRecorder::write queue full (" + std::to_string(m_budget.limit()) +
                     " bytes waiting for " + (m_file ? m_file->name() : std::string()) +
                     "): " + std::to_string(m_droppedBytes) + " bytes dropped\n"
              << std::flush;
    m_droppedBytes = 0;
}

std::shared_ptr<OutputFile> OutputWriter::finish()
{
    if (!m_file)
        return nullptr;
    if (m_fillChunk)
    {
        // The last bytes of the recording: a shorter final chunk.
        m_fillChunk->size = m_fillPosition;
        m_file->push(std::move(m_fillChunk));
    }
    m_fillPosition = 0;
    reportDropped();
    m_file->close();
    m_writePosition = 0;
    m_circularBufferSize = 0;
    return std::move(m_file);
}

} // namespace vexar
