// What the simulated cable box puts out for one channel: a transport stream
// played in an endless loop. Continuity counters are carried on across the
// loop point (each pass shifts every PID's counters by that PID's advance
// over one pass), so a long recording of a looped file shows no false
// discontinuities. Optional faults damage packets as they go out.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

namespace vexar
{

struct StreamFaults
{
    std::uint64_t syncLossEvery = 0; // every Nth packet loses its sync byte; 0: never
    std::uint64_t ccErrorEvery = 0;  // every Nth packet skips a continuity count; 0: never
};

class StreamSource
{
public:
    // Plays the given bytes. When they are not a whole number of 188-byte
    // packets starting with the sync byte they are played as they are, with
    // no counter continuation and no packet faults.
    explicit StreamSource(std::vector<std::uint8_t> bytes);
    // A stream without any programme: an empty PAT now and then, null packets otherwise.
    static StreamSource emptyMultiplex();
    // Throws std::runtime_error when the file cannot be read or is empty.
    static StreamSource fromFile(const std::string& path);

    bool isPacketStream() const { return m_packetStream; }
    std::size_t size() const { return m_data.size(); }
    // Passes over the next count bytes: they are lost, as a device loses
    // what does not fit in its buffer.
    void skip(std::uint64_t count) { m_position += count; }
    // Copies the next count bytes of the endless stream to out.
    void read(std::uint8_t* out, std::size_t count, const StreamFaults& faults);

    // A piece of the stream lent out of the source's own buffer.
    struct Span
    {
        const std::uint8_t* data;
        std::size_t size;
    };
    // Whether the next count bytes can be lent instead of copied: no faults
    // to apply and a loop long enough that the bytes lent stay as they are
    // until the next call.
    bool canLend(std::size_t count, const StreamFaults& faults) const;
    // Lends the next count bytes as one or two spans (two across the loop
    // point); returns the number of spans. Valid until the next read or lend.
    int lend(std::size_t count, Span spans[2]);

private:
    void patchPacketByte(std::uint8_t* out, std::uint64_t streamOffset, const StreamFaults& faults) const;
    // Brings the counters of every packet that starts before `end` (an
    // absolute stream offset) to their pass, in the buffer itself.
    void patchInPlaceUpTo(std::uint64_t end);

    std::vector<std::uint8_t> m_data;
    bool m_packetStream = false;
    std::array<std::uint8_t, 8192> m_ccShift{}; // per PID, counter advance over one pass
    std::uint64_t m_position = 0;               // bytes played so far
    std::vector<std::uint8_t> m_original;       // the file's bytes; m_data may hold a later pass
    std::uint64_t m_patchedUpTo = 0;            // packets starting before this are at their pass in m_data
};

} // namespace vexar
