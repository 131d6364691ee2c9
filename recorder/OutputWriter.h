// The output writer: gathers what the recording loop hands over (single
// 188-byte packets, or whole 128 KiB blocks of an MPTS copy) into large chunks
// and writes them with overlapped I/O, one write in flight at a time, so the
// recording thread never waits for the disk while the device keeps streaming.
// In circular mode the output file is a ring of a given size that is
// overwritten from its start once full.
//
// The queue is bounded (MAX_QUEUED_BYTES): a disk or network drive that
// stalls must not grow memory until the process dies and the recording with
// it. While the queue is full, new chunks are dropped instead of queued (the
// reading thread never blocks on the disk); the file simply lacks them. An
// episode lasts until the queue has drained to half; its line on standard
// error gives the bytes dropped.
#pragma once

#include "platform/UniqueHandle.h"
#include "platform/Windows.h"

#include <atomic>
#include <cstdint>
#include <deque>
#include <memory>
#include <string>
#include <vector>

namespace vexar
{

struct WriteChunk
{
    std::uint64_t position = 0; // where the chunk goes (used in circular mode)
    std::uint32_t size = 0;     // bytes in the chunk
    std::unique_ptr<std::uint8_t[]> data;
};

class OutputWriter
{
public:
    static constexpr std::uint32_t CHUNK_SIZE = 262144;         // ordinary mode
    static constexpr std::uint32_t CIRCULAR_CHUNK_SIZE = 65536; // circular mode, at most
    // Most bytes waiting to be written: about a minute of a cable multiplex.
    static constexpr std::uint64_t MAX_QUEUED_BYTES = std::uint64_t(256) << 20;
    // With a source that can wait (a file), the writer waits for the disk
    // once this much is queued instead of dropping anything.
    static constexpr std::uint64_t WAITING_QUEUED_BYTES = 8 * std::uint64_t(CHUNK_SIZE);

    OutputWriter() = default;
    ~OutputWriter();
    OutputWriter(const OutputWriter&) = delete;
    OutputWriter& operator=(const OutputWriter&) = delete;

    // Creates (or truncates) the output file for overlapped writing; throws
    // "could not open file '<name>'" on failure.
    void open(const std::string& fileName, DWORD shareMode);
    bool isOpen() const { return m_outFile.valid(); }

    // Copies the bytes into chunks and starts the next write when none is in
    // flight. Throws "Write error <file>" for a write that failed, after the
    // new bytes have been taken in. count 0 only collects and issues.
    void write(const void* data, std::uint32_t count);

    // End of a recording: queues the partly filled chunk, writes everything
    // still queued (a failing chunk is reported on standard error and dropped)
    // and closes the file. False when a write failed: the file is not whole.
    bool finish();

    // Back to a new recording's state: positions, ring size and count at 0.
    void reset();
    void setCircularBufferSize(std::uint64_t size) { m_circularBufferSize = size; }
    // A source that can wait (an input file) waits for the disk when the
    // queue is full; a live one (the device) drops chunks instead.
    void setWaitWhenFull(bool wait) { m_waitWhenFull = wait; }

    // Bytes whose writes have completed; safe to read from any thread.
    std::uint64_t bytesWritten() const { return m_bytesWritten.load(std::memory_order_acquire); }

private:
    friend struct OutputWriterTestAccess; // tests move positions without writing

    // Collects the write in flight if it has ended; returns its error text, if any.
    std::string collectWrite();
    // Hands the full fill chunk to the queue, or drops its bytes when the
    // queue is full (the chunk, with its place in the file, is filled again).
    void queueFillChunk();
    // Ends an episode of dropped chunks with its line on standard error.
    void reportDropped();
    void issueWrite();
    void startChunk();
    // Keeps a written chunk for reuse: fresh ones cost the system a mapping
    // and page faults for every 256 KiB.
    void recycle(std::unique_ptr<WriteChunk> chunk);
    static constexpr std::size_t kSpareChunks = 4;

    UniqueHandle m_outFile;
    std::string m_outFileName; // named in "Write error "
    std::unique_ptr<WriteChunk> m_fillChunk;
    std::uint32_t m_fillPosition = 0;
    std::deque<std::unique_ptr<WriteChunk>> m_writeQueue;
    std::uint64_t m_queuedBytes = 0;  // in the queue and in flight
    std::uint64_t m_droppedBytes = 0; // of the current episode of a full queue
    bool m_waitWhenFull = false;
    std::string m_writeError; // a failed write seen while waiting, reported by the next write()
    OVERLAPPED m_writeOverlapped{};
    std::unique_ptr<WriteChunk> m_pendingWrite;
    std::vector<std::unique_ptr<WriteChunk>> m_spareChunks;
    std::uint64_t m_writePosition = 0;
    std::uint64_t m_circularBufferSize = 0;
    std::atomic<std::uint64_t> m_bytesWritten{0};
};

} // namespace vexar
