// SPDX-License-Identifier: GPL-3.0-or-later
#include "platform/TcpPacing.h"

#include <sys/socket.h>

namespace TcpPacing {

bool setLimit(qintptr socket, quint64 bytesPerSecond)
{
    // The kernel takes a 64-bit value; a 32-bit one would stop at 34 Gbit/s.
    const quint64 value = bytesPerSecond;
    return ::setsockopt(int(socket), SOL_SOCKET, SO_MAX_PACING_RATE, &value, sizeof value) == 0;
}

} // namespace TcpPacing
