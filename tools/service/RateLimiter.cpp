#include "RateLimiter.h"

#include <algorithm>
#include <arpa/inet.h>
#include <cstring>

RateLimiter::RateLimiter(double perMinute, std::size_t maxKeys)
    : m_capacity(perMinute)
    , m_perSecond(perMinute / 60.0)
    , m_maxKeys(maxKeys)
{}

bool RateLimiter::allow(const std::string &key, Clock::time_point now)
{
    if (m_capacity <= 0)
        return true;
    const std::lock_guard guard(m_lock);
    const auto refilled = [&](const Bucket &bucket) {
        const std::chrono::duration<double> elapsed = now - bucket.last;
        return std::min(m_capacity, bucket.tokens + elapsed.count() * m_perSecond);
    };
    if (m_buckets.size() >= m_maxKeys) {
        // A full bucket says nothing a new one would not: drop those first, and all of them
        // when even that is not enough (a flood of made-up keys).
        std::erase_if(m_buckets,
                      [&](const auto &entry) { return refilled(entry.second) >= m_capacity; });
        if (m_buckets.size() >= m_maxKeys)
            m_buckets.clear();
    }
    Bucket &bucket = m_buckets.try_emplace(key, Bucket{m_capacity, now}).first->second;
    bucket.tokens = refilled(bucket);
    bucket.last = now;
    if (bucket.tokens < 1.0)
        return false;
    bucket.tokens -= 1.0;
    return true;
}

std::string RateLimiter::addressKey(const std::string &address)
{
    in6_addr bytes{};
    if (inet_pton(AF_INET6, address.c_str(), &bytes) != 1)
        return address;
    std::memset(bytes.s6_addr + 8, 0, 8);
    char text[INET6_ADDRSTRLEN] = {};
    inet_ntop(AF_INET6, &bytes, text, sizeof text);
    return std::string(text) + "/64";
}
