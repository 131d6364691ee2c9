#include "server/CircularBufferSize.h"

#include <charconv>

namespace vexar
{

std::int64_t parseCircularBufferSize(const std::string& text)
{
    const char* first = text.data();
    const char* const last = text.data() + text.size();
    while (first != last && (*first == ' ' || *first == '\t' || *first == '\n' || *first == '\v' ||
                             *first == '\f' || *first == '\r'))
        ++first;
    bool negative = false;
    if (first != last && (*first == '+' || *first == '-'))
    {
        negative = *first == '-';
        ++first;
    }
    // Digits only: from_chars would take a second sign after the first one.
    if (first == last || *first < '0' || *first > '9')
        return 0;
    // Parsed as unsigned so that the most negative 64-bit number still fits.
    std::uint64_t magnitude = 0;
    const auto result = std::from_chars(first, last, magnitude);
    if (result.ec != std::errc())
        return 0;
    constexpr std::uint64_t kMaxPositive = static_cast<std::uint64_t>(INT64_MAX);
    if (!negative)
        return magnitude > kMaxPositive ? 0 : static_cast<std::int64_t>(magnitude);
    if (magnitude > kMaxPositive + 1)
        return 0;
    return magnitude == kMaxPositive + 1 ? INT64_MIN : -static_cast<std::int64_t>(magnitude);
}

} // namespace vexar
