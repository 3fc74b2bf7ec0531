// SPDX-License-Identifier: GPL-3.0-or-later
#include "PacketRing.h"

#include <cstring>

namespace netlab {

PacketRing::PacketRing(std::size_t capacity)
    : buffer_(slot(capacity) + 2 * slot(maxPacket), 1) // touched now: no page fault later
{}

std::uint8_t *PacketRing::reserve()
{
    const std::size_t need = slot(maxPacket);
    if (count_ == 0)
        head_ = tail_ = 0;
    if (count_ > 0 && tail_ <= head_)
        return head_ - tail_ >= need + sizeof(Header) ? &buffer_[tail_ + sizeof(Header)] : nullptr;
    if (buffer_.size() - tail_ >= need)
        return &buffer_[tail_ + sizeof(Header)];
    // Not enough room before the end: continue at the start if the oldest packet has moved on.
    if (head_ < need + sizeof(Header))
        return nullptr;
    Header mark{0, wrapMark};
    std::memcpy(&buffer_[tail_], &mark, sizeof mark);
    tail_ = 0;
    return &buffer_[sizeof(Header)];
}

void PacketRing::commit(std::size_t length, std::int64_t departure)
{
    const Header header{departure, length};
    std::memcpy(&buffer_[tail_], &header, sizeof header);
    tail_ += slot(length);
    ++count_;
}

const PacketRing::Header &PacketRing::front() const
{
    return *reinterpret_cast<const Header *>(&buffer_[head_]);
}

std::int64_t PacketRing::frontDeparture() const
{
    return front().departure;
}

const std::uint8_t *PacketRing::frontData() const
{
    return &buffer_[head_ + sizeof(Header)];
}

std::size_t PacketRing::frontLength() const
{
    return front().length;
}

void PacketRing::pop()
{
    head_ += slot(front().length);
    --count_;
    if (count_ > 0 && front().length == wrapMark)
        head_ = 0;
}

} // namespace netlab
