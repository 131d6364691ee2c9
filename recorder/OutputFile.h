// One output file of a recording, written on a thread of its own.
//
// Why a thread per file: the recording thread must never wait for the disk
// while the device keeps streaming, and a file whose recording has ended must
// be written out to its last chunk without holding up the next recording
// (SageTV stops one and starts the next within a second, often into another
// file on the same disk). Each file takes its chunks in order and writes
// them one at a time at their positions; after close() it writes what is
// still queued, closes the file and ends.
//
// The file is a local one, or one on SageTV's machine written through its
// media server (an upload). An upload whose connection is lost is opened
// again and goes on at the same offsets; what the memory bound drops
// meanwhile is missing, as on a stalled disk. One that cannot be opened at
// all has failed.
#pragma once

#include "platform/UniqueHandle.h"
#include "recorder/MediaServerUpload.h"
#include "recorder/OutputBudget.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

namespace vexar
{

class OutputFile
{
public:
    // Creates (or truncates) the file; throws "could not open file '<name>'"
    // on failure.
    static std::shared_ptr<OutputFile> create(const std::string& name, DWORD shareMode, OutputBudget& budget);
    // An upload of the file name to SageTV's media server; connects on the
    // file's own thread.
    static std::shared_ptr<OutputFile> upload(const std::string& name, const UploadTarget& target,
                                              OutputBudget& budget);
    // file: opened for writing (synchronous).
    OutputFile(std::string name, UniqueHandle file, OutputBudget& budget);
    OutputFile(std::string name, std::unique_ptr<MediaServerUpload> upload, OutputBudget& budget);
    // Writes what is queued, closes the file and ends the thread.
    ~OutputFile();
    OutputFile(const OutputFile&) = delete;
    OutputFile& operator=(const OutputFile&) = delete;

    const std::string& name() const { return m_name; }
    bool isUpload() const { return m_upload != nullptr; }
    // Queues a chunk taken from the budget; it goes back once written.
    void push(std::unique_ptr<WriteChunk> chunk);
    // Writes at once, on the caller's thread, what a source that can wait
    // (an input file) hands over in large blocks: no copy into a chunk and
    // no hand-over to the file's thread. Local files only; false when the
    // write failed.
    bool writeThrough(std::uint64_t position, const std::uint8_t* data, std::uint32_t size);
    // No more chunks: the rest is written, then the file is closed.
    void close();
    // Everything queued has been written (or has failed) and the file is closed.
    bool finished() const { return m_finished.load(std::memory_order_acquire); }
    // Waits until finished, for as long as chunks keep being written: gives
    // up when none has been written for progressLimit. True when finished.
    bool waitFinished(std::chrono::milliseconds progressLimit);
    // Bytes whose writes have completed; safe to read from any thread.
    std::uint64_t bytesWritten() const { return m_bytesWritten.load(std::memory_order_acquire); }
    // A write has failed: the file is not whole.
    bool failed() const { return m_failed.load(std::memory_order_acquire); }
    // "Write error <name>".
    std::string errorText() const { return "Write error " + m_name; }
    // The failure has been reported (by the recording that saw it); the file
    // reports one nobody saw once it is closed.
    void markReported() { m_reported.store(true, std::memory_order_release); }

private:
    void run();
    // Bytes at their position in the file; false when the write failed.
    bool writeAt(std::uint64_t position, const std::uint8_t* data, std::uint32_t size);
    // The same through the media server, opening the file again after a
    // lost connection for as long as the recording goes on.
    bool uploadChunk(const WriteChunk& chunk);
    // Opens the upload, trying again a few times; false when it cannot be.
    bool openUpload();
    // Waits the time, or less when the file is closed meanwhile.
    void pause(std::chrono::milliseconds time);

    static constexpr int kOpenAttempts = 3;
    static constexpr std::chrono::seconds kRetryPause{1};
    static constexpr std::chrono::seconds kReopenAfterClose{30};

    const std::string m_name;
    UniqueHandle m_file;
    std::unique_ptr<MediaServerUpload> m_upload; // instead of m_file
    OutputBudget& m_budget;
    std::mutex m_mutex;
    std::condition_variable m_changed; // a chunk queued, closing, or a chunk written
    std::deque<std::unique_ptr<WriteChunk>> m_queue;
    bool m_closing = false;
    std::atomic<bool> m_finished{false};
    std::atomic<bool> m_failed{false};
    std::atomic<bool> m_reported{false};
    std::atomic<std::uint64_t> m_bytesWritten{0};
    std::thread m_thread; // last: starts once everything above is ready
};

} // namespace vexar
