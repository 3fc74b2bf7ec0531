// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <chrono>
#include <cstddef>
#include <map>
#include <mutex>
#include <string>
#include <unordered_map>

// Token buckets by key (a device id, a client address): each key may spend `perMinute`
// requests at once and earns them back evenly over a minute. Safe from any thread; its
// memory stays bounded whatever keys clients make up.
class RateLimiter
{
public:
    using Clock = std::chrono::steady_clock;

    // perMinute 0 lets everything through.
    explicit RateLimiter(double perMinute, std::size_t maxKeys = 100000);

    bool allow(const std::string &key, Clock::time_point now = Clock::now());

    // The key of a client address: the address itself, or for IPv6 its /64 network,
    // which one client usually holds whole.
    static std::string addressKey(const std::string &address);
    // For IPv6 its /48 network, which one client may hold whole too; empty for IPv4.
    static std::string networkKey(const std::string &address);

private:
    using Refills = std::multimap<Clock::time_point, std::string>;
    struct Bucket
    {
        double tokens;
        Clock::time_point last;
        Refills::iterator full; // when it will be full again, in m_refills
    };

    double m_capacity;
    double m_perSecond;
    std::size_t m_maxKeys;
    std::mutex m_lock;
    std::unordered_map<std::string, Bucket> m_buckets;
    // The buckets by the time they will be full again: when there are too many, those that
    // are (or will soon be) full go first, since forgetting them forgives the least. A
    // flood of made-up keys, each one request short of full, cannot push out a device
    // that has spent all of its own.
    Refills m_refills;
};
