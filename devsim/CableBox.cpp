#include "devsim/CableBox.h"

#include "contract/ButtonCode.h"
#include "contract/InitSequence.h"
#include "devsim/SimLog.h"

#include <algorithm>
#include <cstring>
#include <iomanip>

namespace vexar
{

namespace
{

constexpr std::uint8_t kPrepareCode = 0x30;
constexpr std::uint8_t kStartCode = 0x50;

std::string hexBytes(const std::uint8_t* bytes, std::size_t size, std::size_t limit)
{
    std::ostringstream text;
    text << std::hex << std::setfill('0');
    for (std::size_t i = 0; i < size && i < limit; ++i)
        text << (i ? " " : "") << std::setw(2) << static_cast<unsigned>(bytes[i]);
    if (size > limit)
        text << " ...";
    return text.str();
}

} // namespace

CableBox::CableBox(std::map<std::string, std::string> lineup, std::string serial, bool stuckPower)
    : m_serial(std::move(serial)), m_stuckPower(stuckPower)
{
    for (const auto& [channel, path] : lineup)
        m_lineup[channel] = std::make_unique<StreamSource>(StreamSource::fromFile(path));
}

void CableBox::connected()
{
    m_initIndex = 0;
}

void CableBox::control(const std::uint8_t* code, std::size_t size)
{
    const auto& sequence = initSequence();
    if (m_initIndex < kInitCommandCount)
    {
        const auto& expected = sequence[static_cast<std::size_t>(m_initIndex)];
        if (size == expected.size() && std::equal(expected.begin(), expected.end(), code))
        {
            simLog("init ", m_initIndex, " len ", size, " ok");
            if (m_initIndex == kInitSerialCommand)
                m_serialKnown = true;
            ++m_initIndex;
            return;
        }
        for (int i = 0; i < kInitCommandCount; ++i)
        {
            const auto& other = sequence[static_cast<std::size_t>(i)];
            if (size == other.size() && std::equal(other.begin(), other.end(), code))
            {
                simLog("init ", m_initIndex, " len ", size, " wrong (command ", i, ")");
                ++m_initIndex;
                return;
            }
        }
        if (m_initIndex > 0)
        {
            simLog("init ", m_initIndex, " len ", size, " wrong");
            ++m_initIndex;
            return;
        }
    }
    if (size == 1 && code[0] == kPrepareCode)
    {
        simLog("code 0x30");
        return;
    }
    if (size == 1 && code[0] == kStartCode)
    {
        m_streamStarted = true;
        ++m_streamStarts;
        simLog(m_power ? "stream start" : "stream start (power off)");
        return;
    }
    if (auto value = decodeButtonCode(code, size))
    {
        button(*value);
        return;
    }
    simLog("unknown code len ", size, " ", hexBytes(code, size, 16));
}

void CableBox::button(std::uint16_t value)
{
    if (value == kMotorolaDctPowerValue)
    {
        simLog("button power");
        if (m_stuckPower)
        {
            simLog("power stuck");
            return;
        }
        m_power = !m_power;
        m_digits.clear();
        if (!m_power)
            m_streamStarted = false;
        simLog(m_power ? "power on" : "power off");
        return;
    }
    const auto digit = std::find(kMotorolaDctDigitValues.begin(), kMotorolaDctDigitValues.end(), value);
    if (digit == kMotorolaDctDigitValues.end())
    {
        simLog("button unknown 0x", std::hex, std::setw(4), std::setfill('0'), value);
        return;
    }
    const char c = static_cast<char>('0' + (digit - kMotorolaDctDigitValues.begin()));
    if (!m_power)
    {
        simLog("button ", c, " ignored (power off)");
        return;
    }
    simLog("button ", c);
    m_digits += c;
    if (m_digits.size() == 4)
    {
        tune(m_digits);
        m_digits.clear();
    }
}

void CableBox::tune(const std::string& channel)
{
    m_channel = channel;
    simLog("tuned ", channel, m_lineup.count(channel) ? "" : " (not in line-up)");
}

StreamSource& CableBox::output()
{
    auto entry = m_lineup.find(m_channel);
    if (entry == m_lineup.end())
    {
        if (!m_empty)
            m_empty = std::make_unique<StreamSource>(StreamSource::emptyMultiplex());
        return *m_empty;
    }
    return *entry->second;
}

std::array<std::uint8_t, 128> CableBox::status() const
{
    std::array<std::uint8_t, 128> data{};
    data[0] = 0x5A;
    data[1] = 0x01;
    data[2] = static_cast<std::uint8_t>((m_power ? 0x01 : 0x00) | (streaming() ? 0x02 : 0x00));
    if (m_serialKnown)
    {
        const std::size_t n = std::min<std::size_t>(m_serial.size(), 7);
        std::memcpy(&data[6], m_serial.data(), n);
        data[6 + n] = 0; // 7 characters end at byte 13, which the device leaves 0
    }
    return data;
}

} // namespace vexar
