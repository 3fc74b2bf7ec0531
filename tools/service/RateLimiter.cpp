// SPDX-License-Identifier: GPL-3.0-or-later
#include "RateLimiter.h"

#include <algorithm>
#include <arpa/inet.h>
#include <cstring>

RateLimiter::RateLimiter(double perMinute, std::size_t maxKeys)
    : m_capacity(perMinute)
    , m_perSecond(perMinute / 60.0)
    , m_maxKeys(std::max<std::size_t>(maxKeys, 1))
{}

bool RateLimiter::allow(const std::string &key, Clock::time_point now)
{
    if (m_capacity <= 0)
        return true;
    const std::lock_guard guard(m_lock);
    // The key's entry in m_refills is taken out and put back at its new time, or handed to
    // the new key from the one forgotten: no allocation for a key already known.
    Refills::node_type refill;
    auto found = m_buckets.find(key);
    if (found != m_buckets.end()) {
        refill = m_refills.extract(found->second.full);
    } else {
        if (m_buckets.size() >= m_maxKeys) {
            refill = m_refills.extract(m_refills.begin());
            m_buckets.erase(refill.mapped());
            refill.mapped() = key;
        }
        found = m_buckets.emplace(key, Bucket{m_capacity, now, m_refills.end()}).first;
    }
    Bucket &bucket = found->second;
    const std::chrono::duration<double> elapsed = now - bucket.last;
    bucket.tokens = std::min(m_capacity, bucket.tokens + elapsed.count() * m_perSecond);
    bucket.last = now;
    const bool allowed = bucket.tokens >= 1.0;
    if (allowed)
        bucket.tokens -= 1.0;
    const auto untilFull = std::chrono::duration_cast<Clock::duration>(
        std::chrono::duration<double>((m_capacity - bucket.tokens) / m_perSecond));
    if (refill) {
        refill.key() = now + untilFull;
        bucket.full = m_refills.insert(std::move(refill));
    } else {
        bucket.full = m_refills.emplace(now + untilFull, key);
    }
    return allowed;
}

namespace {

// The IPv6 address's network of `bits` (a multiple of 8), or empty for anything else.
std::string network(const std::string &address, int bits)
{
    in6_addr bytes{};
    if (inet_pton(AF_INET6, address.c_str(), &bytes) != 1)
        return {};
    std::memset(bytes.s6_addr + bits / 8, 0, std::size_t(16 - bits / 8));
    char text[INET6_ADDRSTRLEN] = {};
    inet_ntop(AF_INET6, &bytes, text, sizeof text);
    return std::string(text) + "/" + std::to_string(bits);
}

} // namespace

std::string RateLimiter::addressKey(const std::string &address)
{
    std::string key = network(address, 64);
    return key.empty() ? address : key;
}

std::string RateLimiter::networkKey(const std::string &address)
{
    return network(address, 48);
}
