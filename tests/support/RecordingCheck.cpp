#include "tests/support/RecordingCheck.h"

#include "tests/support/CommandOutput.h"
#include "tests/support/TempDir.h"

#include <sstream>

namespace vexar
{

namespace
{

constexpr std::size_t kPacket = 188;

std::uint8_t byteAt(const std::string& bytes, std::size_t at)
{
    return static_cast<std::uint8_t>(bytes[at]);
}

} // namespace

void RecordingCheck::add(const std::string& bytes, std::size_t firstPacket)
{
    const std::size_t packets = bytes.size() / kPacket;
    m_partialBytes += bytes.size() % kPacket;
    m_bytes += bytes.size() % kPacket;
    for (std::size_t i = firstPacket; i < packets; ++i)
    {
        const std::size_t at = i * kPacket;
        m_bytes += kPacket;
        ++m_packets;
        if (byteAt(bytes, at) != 0x47)
        {
            ++m_outOfSync;
            continue;
        }
        const std::uint16_t pid = packetPid(bytes, i);
        ++m_pids[pid];
        const std::uint8_t flags = byteAt(bytes, at + 3);
        if (pid == 0x1FFF || (flags & 0x10) == 0)
            continue;
        const int counter = flags & 0x0F;
        if (m_last[pid] >= 0 && ((m_last[pid] + 1) & 0x0F) != counter)
            ++m_discontinuities[pid];
        m_last[pid] = counter;
    }
}

bool RecordingCheck::onlyPids(const std::set<std::uint16_t>& allowed) const
{
    for (const auto& [pid, count] : m_pids)
        if (!allowed.count(pid))
            return false;
    return true;
}

std::size_t RecordingCheck::discontinuities() const
{
    return discontinuitiesBesides({});
}

std::size_t RecordingCheck::discontinuitiesBesides(const std::set<std::uint16_t>& pids) const
{
    std::size_t total = 0;
    for (const auto& [pid, count] : m_discontinuities)
        if (!pids.count(pid))
            total += count;
    return total;
}

std::string RecordingCheck::summary() const
{
    std::ostringstream text;
    text << m_bytes << " bytes, " << m_packets << " packets, " << m_outOfSync << " out of sync, "
         << m_partialBytes << " partial bytes; packets per PID:";
    for (const auto& [pid, count] : m_pids)
        text << " " << pid << ":" << count;
    text << "; discontinuities per PID:";
    for (const auto& [pid, count] : m_discontinuities)
        text << " " << pid << ":" << count;
    return text.str();
}

RecordingCheck checkRecording(const std::string& bytes)
{
    RecordingCheck check;
    check.add(bytes);
    return check;
}

RecordingCheck checkRecordingFile(const std::string& path)
{
    return checkRecording(readBinary(path));
}

std::uint16_t packetPid(const std::string& bytes, std::size_t index)
{
    const std::size_t at = index * kPacket;
    return static_cast<std::uint16_t>(((byteAt(bytes, at + 1) & 0x1F) << 8) | byteAt(bytes, at + 2));
}

bool packetStartsUnit(const std::string& bytes, std::size_t index)
{
    return (byteAt(bytes, index * kPacket + 1) & 0x40) != 0;
}

std::string switchJoinProblems(const std::string& first, const std::string& second)
{
    std::string problems;
    const auto expect = [&problems](bool holds, const std::string& what)
    {
        if (!holds)
            problems += what + "; ";
    };
    const RecordingCheck a = checkRecording(first);
    const RecordingCheck b = checkRecording(second);
    expect(a.whole() && a.discontinuities() == 0, "first file: " + a.summary());
    expect(b.whole() && b.discontinuities() == 0, "second file: " + b.summary());
    if (b.packets() < 3)
        return problems + "second file shorter than 3 packets";
    expect(packetPid(second, 0) == 0, "second file does not begin with the PAT");
    const std::uint16_t pmtPid = packetPid(second, 1);
    expect(pmtPid != 0 && packetStartsUnit(second, 1), "no PMT after the PAT");
    expect(packetPid(second, 2) != pmtPid && packetStartsUnit(second, 2), "no picture start after the PMT");
    const RecordingCheck joined = checkRecording(first + second.substr(2 * kPacket));
    expect(joined.discontinuities() == 0 && joined.packets() == a.packets() + b.packets() - 2,
           "joined: " + joined.summary());
    return problems;
}

std::string probeSummary(const std::string& path)
{
    const std::string file = "'" + hostPath(path) + "'";
    return commandOutput(
               "{ ffprobe -v error -show_entries program=program_id,pmt_pid -of default=nw=1 " + file +
               " | grep -E '^(program_id|pmt_pid)=' | paste -d, - -; ffprobe -v error -show_entries "
               "stream=id,codec_name -of default=nw=1 " +
               file + " | paste -d, - - | sort -u; } 2>&1")
        .text;
}

std::string probeSummaryBesidesPictures(const std::string& path)
{
    std::string summary = probeSummary(path);
    for (std::size_t at = 0; (at = summary.find("[mpeg2video @ ", at)) != std::string::npos;)
        summary.erase(at, summary.find('\n', at) + 1 - at);
    return summary;
}

std::string probeProblems(const std::string& path)
{
    return commandOutput("ffprobe -v error -show_packets -of csv=p=0 '" + hostPath(path) +
                         "' 2>&1 >/dev/null")
        .text;
}

} // namespace vexar
