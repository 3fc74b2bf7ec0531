// SPDX-License-Identifier: GPL-3.0-or-later
#include "Direction.h"

#include "Segments.h"

#include <algorithm>
#include <cmath>
#include <ctime>
#include <poll.h>
#include <unistd.h>

namespace netlab {

namespace {

std::int64_t monotonicNs()
{
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return std::int64_t{now.tv_sec} * 1'000'000'000 + now.tv_nsec;
}

constexpr std::size_t vnetBytes = sizeof(VnetHeader);

// The bytes in flight on the wire for the delay, plus the queue, at least a few packets.
std::size_t ringCapacity(const LinkShape &shape)
{
    const double peak = shape.burstBytes > 0 ? shape.peakFactor : 1;
    const double inFlight =
        peak * shape.bitsPerSecond / 8 * static_cast<double>(shape.delayNs) / 1e9;
    // Small packets (acknowledgements) take more room in the ring than on the wire.
    return 2 * (static_cast<std::size_t>(inFlight) + shape.queueBytes) + 64 * PacketRing::maxPacket;
}

} // namespace

Direction::Direction(int in, int out, bool vnetHeader, const LinkShape &shape, std::uint64_t seed)
    : in_(in)
    , out_(out)
    , vnetHeader_(vnetHeader)
    , shape_(shape)
    , nsPerByte_(8e9 / shape.bitsPerSecond)
    , ring_(ringCapacity(shape))
    , discard_(PacketRing::maxPacket)
    , random_(seed)
    , loss_(shape.lossFraction)
    , tokens_(static_cast<double>(shape.burstBytes))
{}

std::int64_t Direction::serialise(std::size_t wire)
{
    const double atRate = static_cast<double>(wire) * nsPerByte_;
    if (shape_.burstBytes == 0)
        return std::llround(atRate);
    tokens_ = std::min(static_cast<double>(shape_.burstBytes),
                       tokens_ + static_cast<double>(linkFree_ - tokensAt_) / nsPerByte_);
    tokensAt_ = linkFree_;
    const double atPeak = atRate / shape_.peakFactor;
    if (tokens_ >= static_cast<double>(wire)) {
        tokens_ -= static_cast<double>(wire);
        return std::llround(atPeak);
    }
    // What the bucket lacks comes in at the rate.
    const double time = std::max(atPeak, (static_cast<double>(wire) - tokens_) * nsPerByte_);
    tokens_ = std::max(0.0, tokens_ + time / nsPerByte_ - static_cast<double>(wire));
    tokensAt_ = linkFree_ + std::llround(time);
    return std::llround(time);
}

void Direction::run()
{
    pollfd wait{in_, POLLIN, 0};
    for (;;) {
        std::int64_t now = monotonicNs();
        deliverDue(now);
        timespec timeout{1, 0};
        if (!ring_.empty()) {
            const std::int64_t left = std::max<std::int64_t>(ring_.frontDeparture() - now, 0);
            timeout = {static_cast<time_t>(left / 1'000'000'000),
                       static_cast<long>(left % 1'000'000'000)};
        }
        if (ppoll(&wait, 1, &timeout, nullptr) > 0 && (wait.revents & POLLIN))
            receive(monotonicNs());
    }
}

void Direction::receive(std::int64_t now)
{
    // A bounded batch, so that packets due meanwhile are not held back.
    for (int batch = 0; batch < 64; ++batch) {
        std::uint8_t *slot = ring_.reserve();
        std::uint8_t *buffer = slot ? slot : discard_.data();
        const ssize_t length = read(in_, buffer, PacketRing::maxPacket);
        if (length < 0)
            return; // EAGAIN: all read
        if (!slot) {
            ++counts_.ringFull;
            continue;
        }
        const std::size_t header = vnetHeader_ ? vnetBytes : 0;
        if (static_cast<std::size_t>(length) <= header)
            continue;
        std::uint8_t *vnet = vnetHeader_ ? buffer : nullptr;
        std::uint8_t *packet = buffer + header;
        std::size_t packetLength = static_cast<std::size_t>(length) - header;
        const Segments segments = Segments::of(vnet, packet, packetLength);
        // Losses are drawn per packet, which they are here: the line does not take large
        // segments when it loses packets.
        if (shape_.lossFraction > 0 && loss_(random_)) {
            counts_.lost += segments.count;
            continue;
        }

        linkFree_ = std::max(linkFree_, now);
        const auto queued =
            static_cast<std::size_t>(static_cast<double>(linkFree_ - now) / nsPerByte_);
        const std::size_t room = shape_.queueBytes > queued ? shape_.queueBytes - queued : 0;
        std::size_t wire = segments.wireBytes;
        if (wire > room) {
            // Whole packets of the wire that still fit go through; the rest is dropped.
            const std::size_t perPacket = segments.headerBytes + segments.payloadSize;
            const std::size_t fit = segments.count > 1 ? room / perPacket : 0;
            counts_.dropped += segments.count - fit;
            if (fit == 0)
                continue;
            packetLength = keepSegments(vnet, packet, segments, fit);
            wire = fit * perPacket;
            counts_.packets += fit;
        } else {
            counts_.packets += segments.count;
        }
        counts_.wireBytes += wire;
        linkFree_ += serialise(wire);
        ring_.commit(packetLength + header, linkFree_ + shape_.delayNs);
    }
}

void Direction::deliverDue(std::int64_t now)
{
    while (!ring_.empty() && ring_.frontDeparture() <= now) {
        // A write that fails (the far side's device is down) loses the packet, as the wire would.
        if (write(out_, ring_.frontData(), ring_.frontLength()) < 0)
            ++counts_.writeFailed;
        ring_.pop();
    }
}

} // namespace netlab
