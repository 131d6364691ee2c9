#include "server/AddressAllowList.h"

#include <boost/asio/ip/address_v4.hpp>

#include <algorithm>
#include <stdexcept>

namespace vexar
{

namespace
{

std::string trimmed(const std::string& text)
{
    const std::size_t first = text.find_first_not_of(' ');
    if (first == std::string::npos)
        return {};
    return text.substr(first, text.find_last_not_of(' ') - first + 1);
}

} // namespace

std::uint32_t AddressAllowList::mask(int prefixLength)
{
    return prefixLength == 0 ? 0u : ~std::uint32_t(0) << (32 - prefixLength);
}

AddressAllowList AddressAllowList::parse(const std::string& list)
{
    AddressAllowList allowList;
    std::size_t start = 0;
    while (true)
    {
        const std::size_t comma = list.find(',', start);
        const std::string entry =
            trimmed(list.substr(start, comma == std::string::npos ? std::string::npos : comma - start));
        const std::string invalid = "Invalid address in --allowfrom: '" + entry + "'";
        const std::size_t slash = entry.find('/');
        int prefixLength = 32;
        if (slash != std::string::npos)
        {
            const std::string length = entry.substr(slash + 1);
            if (length.empty() || length.size() > 2 ||
                length.find_first_not_of("0123456789") != std::string::npos)
                throw std::runtime_error(invalid);
            prefixLength = std::stoi(length);
            if (prefixLength > 32)
                throw std::runtime_error(invalid);
        }
        // Four decimal numbers, as written: some systems' parsers also take
        // shorthands such as "10.0.0", which would mean another address.
        const std::string text = entry.substr(0, slash);
        if (std::count(text.begin(), text.end(), '.') != 3 ||
            text.find_first_not_of("0123456789.") != std::string::npos ||
            text.find("..") != std::string::npos || text.front() == '.' || text.back() == '.')
            throw std::runtime_error(invalid);
        boost::system::error_code error;
        const boost::asio::ip::address_v4 address = boost::asio::ip::make_address_v4(text, error);
        if (error)
            throw std::runtime_error(invalid);
        allowList.m_ranges.push_back({address.to_uint() & mask(prefixLength), prefixLength});
        if (comma == std::string::npos)
            break;
        start = comma + 1;
    }
    return allowList;
}

bool AddressAllowList::allows(const boost::asio::ip::address& address) const
{
    if (m_ranges.empty())
        return true;
    boost::asio::ip::address_v4 v4;
    if (address.is_v4())
        v4 = address.to_v4();
    else if (address.to_v6().is_v4_mapped())
        v4 = boost::asio::ip::make_address_v4(boost::asio::ip::v4_mapped, address.to_v6());
    else
        return false;
    for (const Range& range : m_ranges)
        if ((v4.to_uint() & mask(range.prefixLength)) == range.network)
            return true;
    return false;
}

std::string AddressAllowList::describe() const
{
    if (m_ranges.empty())
        return "any";
    std::string text;
    for (const Range& range : m_ranges)
    {
        if (!text.empty())
            text += ", ";
        text += boost::asio::ip::address_v4(range.network).to_string();
        if (range.prefixLength != 32)
            text += "/" + std::to_string(range.prefixLength);
    }
    return text;
}

} // namespace vexar
