// SPDX-License-Identifier: GPL-3.0-or-later
#include "engine/ServiceRules.h"

#include <algorithm>

void DownloadSizeLimit::served(qint64 size)
{
    m_largestServed = std::max(m_largestServed, size);
}

bool DownloadSizeLimit::refused(qint64 size, long status)
{
    if (!refusesSize(status) || m_largestServed == 0 || size <= m_largestServed)
        return false;
    // Every size served so far is within it, so it only ever comes down.
    m_limit = m_largestServed;
    return true;
}

namespace ServiceRules {

std::optional<qint64> acceptedUploadBytes(const std::optional<QByteArray> &header)
{
    if (!header)
        return std::nullopt;
    const QByteArray value = header->trimmed();
    // Digits only: no sign, no spaces within, nothing that toLongLong would also take.
    if (value.isEmpty() || value.size() > 18
        || !std::ranges::all_of(value, [](char c) { return c >= '0' && c <= '9'; }))
        return std::nullopt;
    return value.toLongLong();
}

} // namespace ServiceRules
