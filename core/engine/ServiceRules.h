// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QByteArray>
#include <QtGlobal>

#include <optional>

// What the public speed-test service allows and tells, beyond answering the three requests.
//
// It refuses a download above some size (today 100,000,000 bytes and more) from a client
// that is not a browser, and may lower that bound without notice: a refusal of a size larger
// than one it already served in the same test is a limit on the size, not a dead link. The
// limit is then the largest size it served, so that a stream is refused once at most.
class DownloadSizeLimit
{
public:
    // Statuses that refuse a request for what it asks, not for who asks.
    static constexpr bool refusesSize(long status)
    {
        return status == 403 || status == 413 || status == 414;
    }

    // An answer with a success status began for a request of this size.
    void served(qint64 size);
    // A request of this size was answered with this status; whether that set a limit.
    bool refused(qint64 size, long status);
    // The size to ask for instead of this one.
    qint64 cap(qint64 size) const { return m_limit ? qMin(size, *m_limit) : size; }
    std::optional<qint64> limit() const { return m_limit; }

private:
    qint64 m_largestServed = 0;
    std::optional<qint64> m_limit;
};

namespace ServiceRules {

// The bytes of an upload's body the service says it accepted ("cf-meta-upload-bytes"):
// absent without the header or when its value is not a whole number of bytes.
std::optional<qint64> acceptedUploadBytes(const std::optional<QByteArray> &header);

} // namespace ServiceRules
