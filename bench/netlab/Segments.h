// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <cstddef>
#include <cstdint>

namespace netlab {

// The header the kernel puts before each packet on a TUN device with IFF_VNET_HDR (struct
// virtio_net_hdr, whose kernel header does not compile as C++), in the host's byte order.
struct VnetHeader
{
    static constexpr std::uint8_t needsChecksum = 1;
    static constexpr std::uint8_t gsoNone = 0, gsoTcp4 = 1, gsoTcp6 = 4, gsoEcn = 0x80;

    std::uint8_t flags;
    std::uint8_t gsoType;
    std::uint16_t headerLength;
    std::uint16_t gsoSize;
    std::uint16_t checksumStart;
    std::uint16_t checksumOffset;
};
static_assert(sizeof(VnetHeader) == 10);

// What one packet read from a TUN device costs on the wire. With offloads the kernel hands
// over TCP segments of up to 64 kB that a real link would carry as separate packets of the
// MTU, each with its own IP and TCP headers: the line charges for those packets.
struct Segments
{
    std::size_t count = 1;       // packets on the wire
    std::size_t headerBytes = 0; // IP and TCP headers repeated in each packet
    std::size_t payloadSize = 0; // TCP payload bytes per packet but the last
    std::size_t wireBytes = 0;   // what the link serialises

    // packet: the bytes read, after the virtio header when there is one (vnet may be null).
    static Segments of(const std::uint8_t *vnet, const std::uint8_t *packet, std::size_t length);
};

// Cuts an offloaded TCP packet to its first `keep` segments, as a router's queue that has
// room for only those would: fixes the lengths and checksums. vnet may not be null.
// Returns the new length of the packet (without the virtio header).
std::size_t keepSegments(std::uint8_t *vnet, std::uint8_t *packet, const Segments &segments,
                         std::size_t keep);

} // namespace netlab
