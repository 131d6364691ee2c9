#include "recorder/OutputFile.h"

#include <iostream>
#include <optional>
#include <stdexcept>
#include <utility>

namespace vexar
{

std::shared_ptr<OutputFile> OutputFile::create(const std::string& name, DWORD shareMode, OutputBudget& budget)
{
    // Written by the file's own thread, which waits for each write: a
    // synchronous handle, each write at its offset.
    UniqueHandle file(CreateFileA(name.c_str(), GENERIC_WRITE, shareMode, nullptr, CREATE_ALWAYS,
                                  FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file)
        throw std::runtime_error("could not open file '" + name + "'");
    return std::make_shared<OutputFile>(name, std::move(file), budget);
}

std::shared_ptr<OutputFile> OutputFile::upload(const std::string& name, const UploadTarget& target,
                                               OutputBudget& budget)
{
    return std::make_shared<OutputFile>(name, std::make_unique<MediaServerUpload>(target, name), budget);
}

OutputFile::OutputFile(std::string name, UniqueHandle file, OutputBudget& budget)
    : m_name(std::move(name)), m_file(std::move(file)), m_budget(budget), m_thread([this] { run(); })
{
}

OutputFile::OutputFile(std::string name, std::unique_ptr<MediaServerUpload> upload, OutputBudget& budget)
    : m_name(std::move(name)), m_upload(std::move(upload)), m_budget(budget), m_thread([this] { run(); })
{
}

OutputFile::~OutputFile()
{
    close();
    m_thread.join();
}

void OutputFile::push(std::unique_ptr<WriteChunk> chunk)
{
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_queue.push_back(std::move(chunk));
    }
    m_changed.notify_all();
}

void OutputFile::close()
{
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_closing = true;
    }
    m_changed.notify_all();
}

bool OutputFile::waitFinished(std::chrono::milliseconds progressLimit)
{
    std::unique_lock<std::mutex> lock(m_mutex);
    std::uint64_t written = bytesWritten();
    while (!finished())
    {
        if (!m_changed.wait_for(lock, progressLimit, [&] { return finished() || bytesWritten() != written; }))
            return false; // no chunk written for the whole time
        written = bytesWritten();
    }
    return true;
}

void OutputFile::run()
{
    if (m_upload && !openUpload())
        m_failed.store(true, std::memory_order_release);
    for (;;)
    {
        std::unique_ptr<WriteChunk> chunk;
        {
            std::unique_lock<std::mutex> lock(m_mutex);
            m_changed.wait(lock, [this] { return !m_queue.empty() || m_closing; });
            if (m_queue.empty())
                break;
            chunk = std::move(m_queue.front());
            m_queue.pop_front();
        }
        // A failed file takes nothing more; its chunks go back at once.
        if (!failed() &&
            !(m_upload ? uploadChunk(*chunk) : writeAt(chunk->position, chunk->data.get(), chunk->size)))
            m_failed.store(true, std::memory_order_release);
        m_budget.giveBack(std::move(chunk));
        m_changed.notify_all();
    }
    m_file.reset();
    if (m_upload)
        m_upload->close();
    // A failure the recording did not see (it ended first) is told here.
    if (failed() && !m_reported.exchange(true))
        std::cerr << "VexarHDRecorder::cleanup caught exception: " + errorText() + "\n" << std::flush;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_finished.store(true, std::memory_order_release);
    }
    m_changed.notify_all();
}

void OutputFile::pause(std::chrono::milliseconds time)
{
    std::unique_lock<std::mutex> lock(m_mutex);
    m_changed.wait_for(lock, time);
}

bool OutputFile::openUpload()
{
    const UploadTarget& target = m_upload->target();
    const std::string where = m_name + " to " + target.host + ":" + std::to_string(target.port);
    std::string reason;
    bool refused = false;
    for (int attempt = 1; attempt <= kOpenAttempts; ++attempt)
    {
        if (m_upload->open(reason, refused))
            return true;
        if (refused)
            break;
        pause(kRetryPause);
    }
    std::cerr << "VexarHDRecorder: upload of " + where + " could not be opened (" + reason + ")\n"
              << std::flush;
    return false;
}

bool OutputFile::uploadChunk(const WriteChunk& chunk)
{
    std::string reason;
    if (m_upload->isOpen() && m_upload->write(chunk.position, chunk.data.get(), chunk.size, reason))
    {
        m_bytesWritten.fetch_add(chunk.size, std::memory_order_acq_rel);
        return true;
    }
    const UploadTarget& target = m_upload->target();
    const std::string where = m_name + " to " + target.host + ":" + std::to_string(target.port);
    std::cerr << "VexarHDRecorder: upload of " + where + " lost (" + reason + "); opening it again\n"
              << std::flush;
    // While the recording goes on, for as long as it takes; once it has
    // ended, for a while from then.
    std::optional<std::chrono::steady_clock::time_point> giveUp;
    for (;;)
    {
        bool refused = false;
        if (m_upload->open(reason, refused) &&
            m_upload->write(chunk.position, chunk.data.get(), chunk.size, reason))
        {
            m_bytesWritten.fetch_add(chunk.size, std::memory_order_acq_rel);
            std::cerr << "VexarHDRecorder: upload of " + where + " goes on at offset " +
                             std::to_string(chunk.position) + "\n"
                      << std::flush;
            return true;
        }
        bool closing = false;
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            closing = m_closing;
        }
        if (closing && !giveUp)
            giveUp = std::chrono::steady_clock::now() + kReopenAfterClose;
        if (refused || (giveUp && std::chrono::steady_clock::now() > *giveUp))
        {
            std::cerr << "VexarHDRecorder: upload of " + where + " given up (" + reason + ")\n" << std::flush;
            return false;
        }
        pause(kRetryPause);
    }
}

bool OutputFile::writeThrough(std::uint64_t position, const std::uint8_t* data, std::uint32_t size)
{
    const bool written = writeAt(position, data, size);
    if (!written)
        m_failed.store(true, std::memory_order_release);
    return written;
}

bool OutputFile::writeAt(std::uint64_t position, const std::uint8_t* data, std::uint32_t size)
{
    OVERLAPPED overlapped{};
    overlapped.Offset = static_cast<DWORD>(position);
    overlapped.OffsetHigh = static_cast<DWORD>(position >> 32);
    // A synchronous handle: the write is done when the call returns.
    DWORD written = 0;
    const BOOL ok = WriteFile(m_file.get(), data, size, &written, &overlapped);
    // Only what reached the file is counted.
    m_bytesWritten.fetch_add(ok ? written : 0, std::memory_order_acq_rel);
    return ok && written == size;
}

} // namespace vexar
