// The command line: the options description and its parsing.
#pragma once

#include <boost/any.hpp>
#include <boost/program_options.hpp>

#include <cstdint>
#include <limits>
#include <string>
#include <vector>

namespace vexar
{

// A whole-number option value, checked against [Low, High] while the
// command line is parsed. The library's own conversion would let "-1" wrap
// into an unsigned type (--serverport -1 listening on 65535), so the text is
// read here: a value that is not a whole number gets the library's error
// ("the argument ('abc') for option '--delay' is invalid"), one outside the
// range "the argument ('-1') for option '--delay' is out of range (0 to
// 86400000)".
template <typename T, std::int64_t Low, std::int64_t High> struct RangedNumber
{
    static_assert(Low >= std::numeric_limits<T>::min() && High <= std::numeric_limits<T>::max());
    T value;
};

// Longest delays: a day, far below what a wait in milliseconds holds (and
// below the 0xFFFFFFFF that means "forever" to Windows' Sleep).
constexpr std::int64_t kMaxDelayMilliseconds = 24 * 60 * 60 * 1000;
constexpr std::int64_t kMaxDelaySeconds = 24 * 60 * 60;
// The attempts are counted in 16 bits; far fewer already take minutes.
constexpr std::int64_t kMaxChannelChangeAttempts = 1000;

using SignedOption = RangedNumber<std::int32_t, INT32_MIN, INT32_MAX>;
using MillisecondsOption = RangedNumber<std::uint32_t, 0, kMaxDelayMilliseconds>;
using SecondsOption = RangedNumber<std::uint32_t, 0, kMaxDelaySeconds>;
using AttemptsOption = RangedNumber<std::uint32_t, 0, kMaxChannelChangeAttempts>;
using PortOption = RangedNumber<std::uint16_t, 0, 65535>;

// The value of text when it is a whole number within [low, high]; throws the
// library's error for the option otherwise.
std::int64_t parseRangedNumber(const std::string& text, std::int64_t low, std::int64_t high);

// Found by the library (argument-dependent lookup) for RangedNumber options.
template <typename T, std::int64_t Low, std::int64_t High>
void validate(boost::any& store, const std::vector<std::string>& tokens, RangedNumber<T, Low, High>*, int)
{
    boost::program_options::validators::check_first_occurrence(store);
    const std::string& text = boost::program_options::validators::get_single_string(tokens);
    store = RangedNumber<T, Low, High>{static_cast<T>(parseRangedNumber(text, Low, High))};
}

// The options in help order, caption "Allowed options".
boost::program_options::options_description makeOptionsDescription();

// Parses the whole command line against the description, stores and
// notifies. Throws the library's errors (unknown, ambiguous or repeated
// options, bad values, bare arguments).
boost::program_options::variables_map
parseOptions(int argc, const char* const argv[],
             const boost::program_options::options_description& description);

} // namespace vexar
