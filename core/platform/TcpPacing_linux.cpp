// SPDX-License-Identifier: GPL-3.0-or-later
#include "platform/TcpPacing.h"

#include <cstddef>

#include <linux/tcp.h>
#include <netinet/in.h>
#include <sys/socket.h>

namespace TcpPacing {

bool setLimit(qintptr socket, quint64 bytesPerSecond)
{
    // The kernel takes a 64-bit value; a 32-bit one would stop at 34 Gbit/s.
    const quint64 value = bytesPerSecond;
    return ::setsockopt(int(socket), SOL_SOCKET, SO_MAX_PACING_RATE, &value, sizeof value) == 0;
}

std::optional<quint64> limit(qintptr socket)
{
    tcp_info info{};
    socklen_t length = sizeof info;
    if (::getsockopt(int(socket), IPPROTO_TCP, TCP_INFO, &info, &length) != 0
        || length < offsetof(tcp_info, tcpi_max_pacing_rate) + sizeof info.tcpi_max_pacing_rate)
        return std::nullopt;
    return info.tcpi_max_pacing_rate;
}

} // namespace TcpPacing
