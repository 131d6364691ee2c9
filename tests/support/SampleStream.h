// The sample multiplex the recorder tests work on: made once per test run by
// scripts/make-sample-mpts (a CTest fixture), three programs with PMT PIDs
// 4096 to 4098, video on 256, 258, 260 (256 marked scrambled) and audio on
// 257, 259, 261. The channel map of the tests puts program 2 on channel 702
// and program 3 on 703.
#pragma once

#include <cstdint>
#include <set>
#include <string>

namespace vexar
{

#ifdef VEXARHD_SAMPLE_MPTS
inline std::string sampleStreamPath()
{
    return VEXARHD_SAMPLE_MPTS;
}
#endif

// One program of the sample.
struct SampleProgram
{
    int program;
    std::uint16_t pmt, video, audio;

    // The PIDs of a recording of it: the PAT's and its own.
    std::set<std::uint16_t> pids() const { return {0, pmt, video, audio}; }
    bool has(std::uint16_t pid) const { return pid == pmt || pid == video || pid == audio; }
    // What probeSummary (tests/support/RecordingCheck.h) gives for a
    // recording of it.
    std::string probe() const
    {
        const auto hex = [](std::uint16_t pid)
        {
            static const char kDigits[] = "0123456789abcdef";
            std::string text;
            for (; pid != 0; pid >>= 4)
                text.insert(text.begin(), kDigits[pid & 0xF]);
            return "0x" + text;
        };
        return "program_id=" + std::to_string(program) + ",pmt_pid=" + std::to_string(pmt) +
               "\ncodec_name=mp2,id=" + hex(audio) + "\ncodec_name=mpeg2video,id=" + hex(video) + "\n";
    }
};

inline const SampleProgram kSamplePrograms[] = {
    {1, 4096, 256, 257}, {2, 4097, 258, 259}, {3, 4098, 260, 261}};

// Program 1, 2 or 3.
inline const SampleProgram& sampleProgram(int program)
{
    return kSamplePrograms[program - 1];
}

} // namespace vexar
