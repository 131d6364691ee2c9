#pragma once
// Runs a scan over built bytes with the console captured.

#include "tests/ts/StreamBuilder.h"
#include "tests/ts/TestSupport.h"
#include "ts/PacketScan.h"

#include <atomic>
#include <memory>
#include <string>

namespace vexar
{

struct ScanRun
{
    std::unique_ptr<ScanState> state = std::make_unique<ScanState>();
    bool stopped = false;
    std::string out;
    std::string err;
};

// The stream's end sets the stop flag, so a short stream ends the scan the
// way a stop request does.
inline ScanRun runScan(const std::vector<uint8_t>& bytes)
{
    ScanRun run;
    std::atomic<bool> stop{false};
    MemorySource source(bytes, &stop);
    ConsoleCapture capture;
    run.state->startPass();
    run.stopped = scanPackets(source, stop, *run.state) == ScanEnd::stopped;
    run.out = capture.out();
    run.err = capture.err();
    return run;
}

// Three programs: PMT PIDs 4096..4098, video 256/258/260 (stream_type 2),
// audio 257/259/261 (stream_type 3). Video scrambling per program as given.
inline StreamBuilder threeProgramStream(uint8_t s1, uint8_t s2, uint8_t s3, int repetitions = 2)
{
    StreamBuilder b;
    b.lead();
    const auto pat = patSection({{1, 4096}, {2, 4097}, {3, 4098}});
    for (int i = 0; i < repetitions; ++i)
    {
        b.pat(pat);
        b.pmt(4096, pmtSection(1, 256, {{2, 256}, {3, 257}}));
        b.pmt(4097, pmtSection(2, 258, {{2, 258}, {3, 259}}));
        b.pmt(4098, pmtSection(3, 260, {{2, 260}, {3, 261}}));
        b.pes(256, 2, s1).pes(257).pes(258, 2, s2).pes(259).pes(260, 2, s3).pes(261).nulls(2);
    }
    b.pat(pat);
    return b;
}

} // namespace vexar
