// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace netlab {

// A FIFO of packets, each with the time it leaves the line, stored back to back in one
// buffer allocated up front: the line holds tens of thousands of packets at high rates
// and must not allocate per packet. A packet is read straight into its slot.
class PacketRing
{
public:
    static constexpr std::size_t maxPacket = 66 * 1024;

    explicit PacketRing(std::size_t capacity);

    // Room for one more packet of up to maxPacket bytes, or nullptr when the ring is full.
    std::uint8_t *reserve();
    // Queues the packet written at reserve()'s pointer.
    void commit(std::size_t length, std::int64_t departure);

    bool empty() const { return count_ == 0; }
    std::int64_t frontDeparture() const;
    const std::uint8_t *frontData() const;
    std::size_t frontLength() const;
    void pop();

private:
    struct Header
    {
        std::int64_t departure;
        std::uint64_t length; // wrapMark: the rest of the buffer is unused
    };
    static constexpr std::uint64_t wrapMark = ~std::uint64_t{0};
    static constexpr std::size_t slot(std::size_t length)
    {
        return sizeof(Header) + (length + sizeof(Header) - 1) / sizeof(Header) * sizeof(Header);
    }
    const Header &front() const;

    std::vector<std::uint8_t> buffer_;
    std::size_t head_ = 0; // oldest packet
    std::size_t tail_ = 0; // where the next one goes
    std::size_t count_ = 0;
};

} // namespace netlab
