// The capture device's control side and the cable box behind it: checks the
// initialisation sequence, answers status requests, and turns the codes it
// is sent into power changes, a started stream and tuned channels.
#pragma once

#include "devsim/StreamSource.h"

#include <array>
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace vexar
{

class CableBox
{
public:
    // lineup: four-digit channel -> stream file path; every file is read
    // here (throws std::runtime_error when one cannot be). stuckPower: the
    // power toggle is received but never takes.
    CableBox(std::map<std::string, std::string> lineup, std::string serial, bool stuckPower);

    // A new connection: the device expects its initialisation again.
    void connected();
    // A control transfer with its code bytes.
    void control(const std::uint8_t* code, std::size_t size);
    // The 128 status bytes.
    std::array<std::uint8_t, 128> status() const;

    bool powered() const { return m_power; }
    // The box is on and the device has been told to stream.
    bool streaming() const { return m_power && m_streamStarted; }
    // The box's output for the tuned channel.
    StreamSource& output();
    // How often the device has been told to start the stream.
    std::uint64_t streamStarts() const { return m_streamStarts; }

private:
    void button(std::uint16_t value);
    void tune(const std::string& channel);

    std::map<std::string, std::unique_ptr<StreamSource>> m_lineup;
    std::unique_ptr<StreamSource> m_empty; // channels not in the line-up
    std::string m_serial;
    bool m_stuckPower;
    bool m_power = false;
    bool m_streamStarted = false;
    std::uint64_t m_streamStarts = 0;
    bool m_serialKnown = false; // command 11 of the initialisation has been seen
    int m_initIndex = 0;        // next expected initialisation command
    std::string m_digits;       // digits keyed so far
    std::string m_channel;      // tuned channel, empty before the first tune
};

} // namespace vexar
