// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "PacketRing.h"

#include <atomic>
#include <cstdint>
#include <random>
#include <vector>

namespace netlab {

struct LinkShape
{
    double bitsPerSecond = 100e6;
    std::int64_t delayNs = 10'000'000; // one way: half the round-trip time
    std::size_t queueBytes = 0;        // waiting to be serialised; more is dropped
    double lossFraction = 0;           // of the packets, dropped at random before the queue
    // A token bucket in front of the line: this many bytes, full at the start and refilled at
    // the rate, pass at peakFactor times the rate; none: the rate throughout.
    std::size_t burstBytes = 0;
    double peakFactor = 10;
};

struct DirectionCounts
{
    std::atomic<std::uint64_t> packets{0}; // on the wire, offloaded ones counted per segment
    std::atomic<std::uint64_t> wireBytes{0};
    std::atomic<std::uint64_t> dropped{0};  // packets on the wire that found the queue full
    std::atomic<std::uint64_t> lost{0};     // packets dropped at random
    std::atomic<std::uint64_t> ringFull{0}; // dropped because the line's own buffer was full
    std::atomic<std::uint64_t> writeFailed{0};
};

// One direction of the line: reads packets from one TUN device and writes each to the other
// once it has been serialised at the link's rate behind those before it and has then
// travelled for the one-way delay. Packets that would wait in the queue beyond its size are
// dropped at the tail, as a router does.
class Direction
{
public:
    // seed: of the random losses, so that two directions do not lose the same packets.
    Direction(int in, int out, bool vnetHeader, const LinkShape &shape, std::uint64_t seed);

    // Runs until the process ends.
    [[noreturn]] void run();
    const DirectionCounts &counts() const { return counts_; }

private:
    void receive(std::int64_t now);
    void deliverDue(std::int64_t now);
    // The time the line takes over `wire` bytes it starts on at linkFree_.
    std::int64_t serialise(std::size_t wire);

    int in_;
    int out_;
    bool vnetHeader_;
    LinkShape shape_;
    double nsPerByte_; // serialising one byte at the link's rate
    PacketRing ring_;
    std::vector<std::uint8_t> discard_; // what is read when the ring is full
    std::mt19937_64 random_;
    std::bernoulli_distribution loss_;
    // When the link finishes serialising what it has accepted so far.
    std::int64_t linkFree_ = 0;
    // The bucket's bytes as of tokensAt_.
    double tokens_ = 0;
    std::int64_t tokensAt_ = 0;
    DirectionCounts counts_;
};

} // namespace netlab
