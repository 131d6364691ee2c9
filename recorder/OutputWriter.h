// The output writer: gathers what the recording loop hands over (single
// 188-byte packets, or whole 128 KiB blocks of an MPTS copy) into large
// chunks and hands each full chunk to its OutputFile, whose own thread
// writes it, so the recording thread never waits for the disk while the
// device keeps streaming. In circular mode the output file is a ring of a
// given size that is overwritten from its start once full.
//
// The chunks come from the recorder's OutputBudget. While it is exhausted
// (a disk or network drive that stalls), what the loop hands over is dropped
// instead of queued, a whole call at a time, so an SPTS keeps whole packets
// and the reading thread never blocks; the file simply lacks those bytes. An
// episode lasts until the queue has drained to half; its line on standard
// error gives the bytes dropped. A source that can wait (an input file)
// waits instead and never drops.
#pragma once

#include "recorder/OutputBudget.h"
#include "recorder/OutputFile.h"

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace vexar
{

class OutputWriter
{
public:
    static constexpr std::uint32_t kChunkSize = 262144;        // ordinary mode
    static constexpr std::uint32_t kCircularChunkSize = 65536; // circular mode, at most
    // With a source that can wait, the writer waits for the disk once this
    // much is queued instead of dropping anything.
    static constexpr std::uint64_t kWaitingQueuedBytes = 16 * std::uint64_t(kChunkSize);
    // With a source that can wait, a call of at least this many bytes (a
    // block of an MPTS copy) is written at once instead of queued.
    static constexpr std::uint32_t kWriteThroughSize = 65536;

    explicit OutputWriter(OutputBudget& budget) : m_budget(budget) {}
    // Hands over what it holds, as finish() does.
    ~OutputWriter();
    OutputWriter(const OutputWriter&) = delete;
    OutputWriter& operator=(const OutputWriter&) = delete;

    // Writes into file from its start on; circularBufferSize 0: a growing
    // file, else a ring of that many bytes.
    void open(std::shared_ptr<OutputFile> file, std::uint64_t circularBufferSize);
    bool isOpen() const { return m_file != nullptr; }
    const std::shared_ptr<OutputFile>& file() const { return m_file; }

    // Copies the bytes into chunks. Throws "Write error <file>" once a write
    // of the file has failed (the bytes are then not taken).
    void write(const void* data, std::uint32_t count);

    // End of the file: queues the partly filled chunk and closes the file,
    // whose thread writes out the rest. Returns the file (null when none was
    // open); the writer is ready for the next one.
    std::shared_ptr<OutputFile> finish();

    // Bytes taken into chunks, and bytes dropped at the memory bound, since
    // the writer was made (any file).
    std::uint64_t bytesTaken() const { return m_bytesTaken; }
    std::uint64_t bytesDropped() const { return m_bytesDroppedTotal; }

    // A source that can wait (an input file) waits for the disk when the
    // queue is long, until stop is set; a live one drops instead.
    void setWaitWhenFull(const std::atomic<bool>* stop) { m_waitUntilStop = stop; }

private:
    friend struct OutputWriterTestAccess; // tests move positions without writing

    // Where the chunk that starts at position really goes (a full ring
    // starts over at 0) and how long it is.
    struct ChunkPlace
    {
        std::uint64_t position;
        std::uint32_t size;
    };
    ChunkPlace chunkAt(std::uint64_t position) const;
    // Takes the chunks a write of count bytes needs beyond the fill chunk's
    // room into m_taken; false (none kept) when the budget has none.
    bool takeChunks(std::uint32_t count);
    void startChunk(std::unique_ptr<WriteChunk> chunk);
    // Ends an episode of dropped bytes with its line on standard error.
    void reportDropped();

    OutputBudget& m_budget;
    std::shared_ptr<OutputFile> m_file;
    std::unique_ptr<WriteChunk> m_fillChunk;
    std::uint32_t m_fillPosition = 0;
    std::vector<std::unique_ptr<WriteChunk>> m_taken; // chunks of the write under way
    std::uint64_t m_writePosition = 0;                // where the next chunk starts
    std::uint64_t m_circularBufferSize = 0;
    std::uint64_t m_droppedBytes = 0; // of the current episode of a full queue
    std::uint64_t m_bytesTaken = 0;
    std::uint64_t m_bytesDroppedTotal = 0;
    const std::atomic<bool>* m_waitUntilStop = nullptr;
};

} // namespace vexar
