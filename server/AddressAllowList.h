// Who may command the encoder: the IPv4 addresses and ranges of --allowfrom.
//
// The protocol SageTV speaks has no authentication, so the list is what
// keeps others on the network from starting recordings. An empty list (the
// default) allows every address.
#pragma once

#include <boost/asio/ip/address.hpp>

#include <cstdint>
#include <string>
#include <vector>

namespace vexar
{

class AddressAllowList
{
public:
    // Allows every address.
    AddressAllowList() = default;

    // list: comma-separated IPv4 addresses ("192.168.1.20") and CIDR ranges
    // ("192.168.1.0/24"). Throws std::runtime_error naming the first entry
    // that is neither.
    static AddressAllowList parse(const std::string& list);

    bool allowsAll() const { return m_ranges.empty(); }
    // IPv4-mapped IPv6 addresses count as their IPv4 address; other IPv6
    // addresses are allowed only when every address is.
    bool allows(const boost::asio::ip::address& address) const;
    // "any", or the ranges as "192.168.1.0/24, 127.0.0.1".
    std::string describe() const;

private:
    struct Range
    {
        std::uint32_t network; // host order, bits outside the mask cleared
        int prefixLength;      // 0 to 32
    };
    static std::uint32_t mask(int prefixLength);

    std::vector<Range> m_ranges;
};

} // namespace vexar
