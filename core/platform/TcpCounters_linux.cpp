// SPDX-License-Identifier: GPL-3.0-or-later
#include "platform/TcpCounters.h"

#include <QFile>

#include <cstddef>

#include <linux/sockios.h>
#include <linux/tcp.h>
#include <netinet/in.h>
#include <sys/ioctl.h>
#include <sys/socket.h>

namespace {

// The kernel's struct, not the C library's older copy, whose later fields are missing; a
// running kernel older than the headers fills only its own part: false when that part ends
// before `needed` bytes.
bool readInfo(qintptr socket, tcp_info &info, std::size_t needed)
{
    socklen_t length = sizeof info;
    return ::getsockopt(int(socket), IPPROTO_TCP, TCP_INFO, &info, &length) == 0
           && length >= needed;
}

// One field of the kernel's struct, absent when the running kernel does not fill it.
template <typename Field>
std::optional<Field> fieldOf(qintptr socket, Field tcp_info::*member)
{
    tcp_info info{};
    const auto end = std::size_t(reinterpret_cast<const char *>(&(info.*member))
                                 - reinterpret_cast<const char *>(&info))
                     + sizeof(Field);
    if (!readInfo(socket, info, end))
        return std::nullopt;
    return info.*member;
}

} // namespace

namespace TcpCounters {

std::optional<quint64> acknowledged(qintptr socket)
{
    return fieldOf(socket, &tcp_info::tcpi_bytes_acked);
}

std::optional<quint64> delivered(qintptr socket)
{
    tcp_info info{};
    if (!readInfo(socket, info,
                  offsetof(tcp_info, tcpi_bytes_acked) + sizeof info.tcpi_bytes_acked))
        return std::nullopt;
    // Segments acknowledged selectively are counted at the sender's segment size: a
    // shorter last one counts a few hundred bytes early, until the cumulative count
    // passes it.
    return info.tcpi_bytes_acked + quint64(info.tcpi_sacked) * info.tcpi_snd_mss;
}

std::optional<quint64> written(qintptr socket)
{
    const std::optional<quint64> acked = acknowledged(socket);
    // For TCP, SIOCOUTQ gives the bytes written but not acknowledged yet.
    int queued = 0;
    if (!acked || ::ioctl(int(socket), SIOCOUTQ, &queued) != 0 || queued < 0)
        return std::nullopt;
    return *acked + quint64(queued);
}

std::optional<quint32> receivedPerRoundTripAtLimit(qintptr socket)
{
    // The kernel grows a connection's receive buffer up to the last of tcp_rmem's values.
    static const int limit = [] {
        QFile file(QStringLiteral("/proc/sys/net/ipv4/tcp_rmem"));
        if (!file.open(QIODevice::ReadOnly))
            return 0;
        const QList<QByteArray> values = file.readAll().simplified().split(' ');
        return values.size() == 3 ? values.last().toInt() : 0;
    }();
    int size = 0;
    socklen_t length = sizeof size;
    if (limit <= 0 || ::getsockopt(int(socket), SOL_SOCKET, SO_RCVBUF, &size, &length) != 0
        || size < limit)
        return std::nullopt;
    tcp_info info{};
    if (!readInfo(socket, info, offsetof(tcp_info, tcpi_rcv_space) + sizeof info.tcpi_rcv_space))
        return std::nullopt;
    return info.tcpi_rcv_space;
}

std::optional<quint32> retransmitted(qintptr socket)
{
    return fieldOf(socket, &tcp_info::tcpi_total_retrans);
}

std::optional<quint64> pacingLimit(qintptr socket)
{
    return fieldOf(socket, &tcp_info::tcpi_max_pacing_rate);
}

std::optional<QByteArray> congestionControl(qintptr socket)
{
    // The kernel's names are 15 characters at most.
    char name[16] = {};
    socklen_t length = sizeof name;
    if (::getsockopt(int(socket), IPPROTO_TCP, TCP_CONGESTION, name, &length) != 0)
        return std::nullopt;
    const QByteArray text(name, qsizetype(qstrnlen(name, qMin<socklen_t>(length, sizeof name))));
    return text.isEmpty() ? std::nullopt : std::optional<QByteArray>(text);
}

} // namespace TcpCounters
