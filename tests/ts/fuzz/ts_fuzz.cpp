// Feeds arbitrary bytes through the scan, the PAT parse, the selection, the
// new PAT and the recording phase. The first two bytes choose the wanted
// program and whether a program list is printed; the rest is the stream.

#include "ts/PacketScan.h"
#include "ts/ProgramSelection.h"
#include "ts/RecordingPhase.h"

#include <atomic>
#include <cstring>
#include <iostream>
#include <sstream>
#include <stdexcept>

namespace vexar
{

namespace
{
class FuzzSource
{
public:
    FuzzSource(const uint8_t* data, std::size_t size) : m_data(data), m_size(size) {}
    void read(void* dst, uint32_t n)
    {
        if (n > m_size - m_offset)
            throw std::runtime_error("end of data");
        std::memcpy(dst, m_data + m_offset, n);
        m_offset += n;
    }

private:
    const uint8_t* m_data;
    std::size_t m_size;
    std::size_t m_offset = 0;
};

// Console output is part of the work but not of interest here.
class NullBuffer : public std::streambuf
{
protected:
    int overflow(int c) override { return c; }
};

void recordFrom(FuzzSource& source, ScanState& state, const Selection& selection,
                const std::vector<uint16_t>& pidsToRecord)
{
    state.dropAttemptState();
    buildNewPat(state.newPatPacket, selection);
    RecordingPhase phase(state, selection, pidsToRecord, "fuzz");
    uint64_t sum = 0;
    auto sink = [&sum](const uint8_t* data, uint32_t count)
    {
        for (uint32_t i = 0; i < count; ++i)
            sum += data[i];
    };
    // Ends with the source's exception at the end of the data.
    for (;;)
        phase.step(source, sink);
}
} // namespace
} // namespace vexar

using namespace vexar;

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    static NullBuffer null;
    std::cout.rdbuf(&null);
    std::cerr.rdbuf(&null);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size)
{
    if (size < 2)
        return 0;
    const int32_t wanted = static_cast<int8_t>(data[0]);
    const bool list = (data[1] & 1) != 0;
    FuzzSource source(data + 2, size - 2);
    static ScanState state;
    std::atomic<bool> stop{false};
    std::vector<uint16_t> pidsToRecord;
    try
    {
        state.startPass();
        state.newPatPacket = TsPacket{};
        // A scan ends at the source's end (an exception) unless the store
        // fills up; select on what was gathered either way.
        try
        {
            scanPackets(source, stop, state);
        }
        catch (const std::runtime_error&)
        {
        }
        const Selection selection = selectProgram(state, "fuzz", wanted, wanted, list, pidsToRecord);
        if (selection.selectedProgram != 0)
            recordFrom(source, state, selection, pidsToRecord);
    }
    catch (const std::runtime_error&)
    {
    }
    return 0;
}
