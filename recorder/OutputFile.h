// One output file of a recording, written on a thread of its own.
//
// Why a thread per file: the recording thread must never wait for the disk
// while the device keeps streaming, and a file whose recording has ended must
// be written out to its last chunk without holding up the next recording
// (SageTV stops one and starts the next within a second, often into another
// file on the same disk). Each file takes its chunks in order and writes
// them one at a time at their positions; after close() it writes what is
// still queued, closes the file and ends.
#pragma once

#include "platform/UniqueHandle.h"
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
    // Creates (or truncates) the file for overlapped writing; throws
    // "could not open file '<name>'" on failure.
    static std::shared_ptr<OutputFile> create(const std::string& name, DWORD shareMode, OutputBudget& budget);
    // file: opened for overlapped writing.
    OutputFile(std::string name, UniqueHandle file, OutputBudget& budget);
    // Writes what is queued, closes the file and ends the thread.
    ~OutputFile();
    OutputFile(const OutputFile&) = delete;
    OutputFile& operator=(const OutputFile&) = delete;

    const std::string& name() const { return m_name; }
    // Queues a chunk taken from the budget; it goes back once written.
    void push(std::unique_ptr<WriteChunk> chunk);
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
    // One chunk at its position; false when the write failed.
    bool writeChunk(const WriteChunk& chunk);

    const std::string m_name;
    UniqueHandle m_file;
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
