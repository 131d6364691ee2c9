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
    if (m_pendingWrite)
    {
        // The system may still be reading the chunk: wait before it is freed.
        DWORD n = 0;
        GetOverlappedResult(m_outFile.get(), &m_writeOverlapped, &n, TRUE);
    }
}

void OutputWriter::open(const std::string& fileName, DWORD shareMode)
{
    UniqueHandle file(CreateFileA(fileName.c_str(), GENERIC_WRITE, shareMode, nullptr, CREATE_ALWAYS,
                                  FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OVERLAPPED, nullptr));
    if (!file)
        throw std::runtime_error("could not open file '" + fileName + "'");
    m_outFile = std::move(file);
    m_outFileName = fileName;
}

std::string OutputWriter::collectWrite()
{
    if (!m_pendingWrite || !HasOverlappedIoCompleted(&m_writeOverlapped))
        return {};
    DWORD written = 0;
    BOOL ok = GetOverlappedResult(m_outFile.get(), &m_writeOverlapped, &written, FALSE);
    std::unique_ptr<WriteChunk> chunk = std::move(m_pendingWrite);
    m_queuedBytes -= chunk->size;
    const std::uint32_t size = chunk->size;
    recycle(std::move(chunk));
    if (!ok || written != size)
    {
        // Count only what reached the file; the failure ends the recording.
        m_bytesWritten.fetch_add(ok ? written : 0, std::memory_order_acq_rel);
        return "Write error " + m_outFileName;
    }
    m_bytesWritten.fetch_add(size, std::memory_order_acq_rel);
    return {};
}

void OutputWriter::recycle(std::unique_ptr<WriteChunk> chunk)
{
    if (m_spareChunks.size() < kSpareChunks)
        m_spareChunks.push_back(std::move(chunk));
}

void OutputWriter::startChunk()
{
    std::unique_ptr<WriteChunk> chunk;
    if (!m_spareChunks.empty())
    {
        chunk = std::move(m_spareChunks.back());
        m_spareChunks.pop_back();
    }
    else
    {
        // Every chunk has room for the largest, so any spare one fits.
        chunk = std::make_unique<WriteChunk>();
        chunk->data.reset(new std::uint8_t[CHUNK_SIZE]);
    }
    std::uint64_t size = CHUNK_SIZE;
    if (m_circularBufferSize != 0)
    {
        if (m_writePosition >= m_circularBufferSize)
            m_writePosition = 0; // the wrap: overwrite from the start
        size = std::min<std::uint64_t>(CIRCULAR_CHUNK_SIZE, m_circularBufferSize - m_writePosition);
    }
    chunk->position = m_writePosition;
    chunk->size = static_cast<std::uint32_t>(size);
    m_writePosition += size;
    m_fillChunk = std::move(chunk);
    m_fillPosition = 0;
}

void OutputWriter::issueWrite()
{
    if (m_pendingWrite || m_writeQueue.empty())
        return;
    m_writeOverlapped = OVERLAPPED{};
    m_pendingWrite = std::move(m_writeQueue.front());
    m_writeQueue.pop_front();
    if (m_circularBufferSize != 0)
    {
        m_writeOverlapped.Offset = static_cast<DWORD>(m_pendingWrite->position);
        m_writeOverlapped.OffsetHigh = static_cast<DWORD>(m_pendingWrite->position >> 32);
    }
    else
    {
        m_writeOverlapped.Offset = 0xFFFFFFFF; // at the current end of the file
        m_writeOverlapped.OffsetHigh = 0xFFFFFFFF;
    }
    if (WriteFile(m_outFile.get(), m_pendingWrite->data.get(), m_pendingWrite->size, nullptr,
                  &m_writeOverlapped))
    {
        m_bytesWritten.fetch_add(m_pendingWrite->size, std::memory_order_acq_rel);
        m_queuedBytes -= m_pendingWrite->size;
        recycle(std::move(m_pendingWrite));
        return;
    }
    if (GetLastError() == ERROR_IO_PENDING)
        return;
    m_queuedBytes -= m_pendingWrite->size;
    m_pendingWrite.reset();
    throw std::runtime_error("Write error " + m_outFileName);
}

void OutputWriter::queueFillChunk()
{
    m_fillPosition = 0;
    if (m_waitWhenFull)
    {
        // Nothing is dropped; the short queue also keeps the chunks in use
        // few, so they are recycled instead of made anew.
        while (m_pendingWrite && m_queuedBytes + m_fillChunk->size > WAITING_QUEUED_BYTES)
        {
            DWORD n = 0;
            GetOverlappedResult(m_outFile.get(), &m_writeOverlapped, &n, TRUE);
            std::string error = collectWrite();
            if (m_writeError.empty())
                m_writeError = std::move(error);
            issueWrite();
        }
    }
    else if (m_queuedBytes + m_fillChunk->size > MAX_QUEUED_BYTES)
    {
        m_droppedBytes += m_fillChunk->size;
        return;
    }
    // An episode of drops ends once the queue has drained to half, so a disk
    // that keeps only just up gets one line, not one per chunk.
    if (m_queuedBytes <= MAX_QUEUED_BYTES / 2)
        reportDropped();
    m_queuedBytes += m_fillChunk->size;
    m_writeQueue.push_back(std::move(m_fillChunk));
}

void OutputWriter::reportDropped()
{
    if (m_droppedBytes == 0)
        return;
    std::cerr << "VexarHDRecorder::write queue full (" << MAX_QUEUED_BYTES << " bytes waiting for "
              << m_outFileName << "): " << m_droppedBytes << " bytes dropped" << std::endl;
    m_droppedBytes = 0;
}

void OutputWriter::write(const void* data, std::uint32_t count)
{
    std::string error = collectWrite();
    if (error.empty())
        error = std::exchange(m_writeError, {});
    const auto* bytes = static_cast<const std::uint8_t*>(data);
    while (count > 0)
    {
        if (!m_fillChunk)
            startChunk();
        std::uint32_t n = std::min(count, m_fillChunk->size - m_fillPosition);
        std::memcpy(m_fillChunk->data.get() + m_fillPosition, bytes, n);
        m_fillPosition += n;
        bytes += n;
        count -= n;
        if (m_fillPosition == m_fillChunk->size)
            queueFillChunk();
    }
    if (!error.empty())
        throw std::runtime_error(error); // the new bytes are queued for the drain
    issueWrite();
}

bool OutputWriter::finish()
{
    bool allWritten = true;
    if (m_fillChunk && m_fillPosition > 0)
    {
        // The last bytes of the recording: a shorter final chunk.
        m_fillChunk->size = m_fillPosition;
        queueFillChunk();
    }
    reportDropped();
    m_fillChunk.reset();
    m_fillPosition = 0;
    while (m_pendingWrite || !m_writeQueue.empty())
    {
        if (!m_outFile)
        {
            m_writeQueue.clear(); // nothing to write into
            m_queuedBytes = 0;
            break;
        }
        try
        {
            write(nullptr, 0);
        }
        catch (const std::exception& e)
        {
            std::cerr << "VexarHDRecorder::cleanup caught exception: " << e.what() << std::endl;
            allWritten = false;
        }
        catch (...)
        {
            std::cerr << "VexarHDRecorder::cleanup caught unknown exception\n";
            allWritten = false;
        }
        if (m_pendingWrite)
        {
            DWORD n = 0; // wait for the write in flight; the next pass collects it
            GetOverlappedResult(m_outFile.get(), &m_writeOverlapped, &n, TRUE);
        }
    }
    if (!m_writeError.empty())
    {
        std::cerr << "VexarHDRecorder::cleanup caught exception: " << m_writeError << std::endl;
        m_writeError.clear();
        allWritten = false;
    }
    m_outFile.reset();
    return allWritten;
}

void OutputWriter::reset()
{
    m_queuedBytes = 0;
    m_droppedBytes = 0;
    m_writePosition = 0;
    m_circularBufferSize = 0;
    m_bytesWritten.store(0, std::memory_order_release);
}

} // namespace vexar
