// SPDX-License-Identifier: GPL-3.0-or-later
#include "Segments.h"

#include <cstring>
#include <netinet/ip.h>
#include <netinet/tcp.h>

namespace netlab {

namespace {

std::uint16_t load16(const std::uint8_t *at)
{
    return static_cast<std::uint16_t>(at[0] << 8 | at[1]);
}

void store16(std::uint8_t *at, std::uint16_t value)
{
    at[0] = static_cast<std::uint8_t>(value >> 8);
    at[1] = static_cast<std::uint8_t>(value);
}

std::uint16_t fold(std::uint32_t sum)
{
    while (sum >> 16)
        sum = (sum & 0xffff) + (sum >> 16);
    return static_cast<std::uint16_t>(sum);
}

// The IP header's length and the transport protocol, or 0 for what is not IPv4 or IPv6.
std::size_t ipHeader(const std::uint8_t *packet, std::size_t length, int &protocol)
{
    if (length >= 20 && packet[0] >> 4 == 4) {
        protocol = packet[9];
        return static_cast<std::size_t>(packet[0] & 0x0f) * 4;
    }
    if (length >= 40 && packet[0] >> 4 == 6) {
        protocol = packet[6];
        return 40;
    }
    return 0;
}

} // namespace

Segments Segments::of(const std::uint8_t *vnet, const std::uint8_t *packet, std::size_t length)
{
    Segments result;
    result.wireBytes = length;
    if (!vnet)
        return result;
    VnetHeader header;
    std::memcpy(&header, vnet, sizeof header);
    const int type = header.gsoType & ~VnetHeader::gsoEcn;
    if (type != VnetHeader::gsoTcp4 && type != VnetHeader::gsoTcp6)
        return result;
    int protocol = 0;
    const std::size_t ip = ipHeader(packet, length, protocol);
    if (ip == 0 || protocol != IPPROTO_TCP || length < ip + 20 || header.gsoSize == 0)
        return result;
    const std::size_t headers = ip + static_cast<std::size_t>(packet[ip + 12] >> 4) * 4;
    if (length <= headers)
        return result;
    const std::size_t payload = length - headers;
    result.payloadSize = header.gsoSize;
    result.count = (payload + header.gsoSize - 1) / header.gsoSize;
    result.headerBytes = headers;
    result.wireBytes = payload + result.count * headers;
    return result;
}

std::size_t keepSegments(std::uint8_t *vnet, std::uint8_t *packet, const Segments &segments,
                         std::size_t keep)
{
    const std::size_t oldLength =
        segments.headerBytes + (segments.wireBytes - segments.count * segments.headerBytes);
    const std::size_t newLength = segments.headerBytes + keep * segments.payloadSize;
    int protocol = 0;
    const std::size_t ip = ipHeader(packet, oldLength, protocol);
    if (packet[0] >> 4 == 4) {
        store16(packet + 2, static_cast<std::uint16_t>(newLength));
        store16(packet + 10, 0);
        std::uint32_t sum = 0;
        for (std::size_t i = 0; i < ip; i += 2)
            sum += load16(packet + i);
        store16(packet + 10, static_cast<std::uint16_t>(~fold(sum)));
    } else {
        store16(packet + 4, static_cast<std::uint16_t>(newLength - ip));
    }
    // The segments cut were the later ones: the end of the data (FIN, PSH) went with them.
    std::uint8_t *tcp = packet + ip;
    tcp[13] &= static_cast<std::uint8_t>(~(TH_FIN | TH_PUSH));
    // With the checksum left to the receiver, the field holds the pseudo-header's sum,
    // which counts the TCP length: swap the old length for the new one.
    VnetHeader header;
    std::memcpy(&header, vnet, sizeof header);
    if (header.flags & VnetHeader::needsChecksum) {
        const std::uint32_t sum = load16(tcp + 16)
                                  + static_cast<std::uint16_t>(~(oldLength - ip) & 0xffff)
                                  + static_cast<std::uint16_t>(newLength - ip);
        store16(tcp + 16, fold(sum));
    }
    if (keep == 1) {
        header.gsoType = VnetHeader::gsoNone;
        header.gsoSize = 0;
    }
    std::memcpy(vnet, &header, sizeof header);
    return newLength;
}

} // namespace netlab
