// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QtGlobal>

// The most a TCP connection's sender may pace its packets at, in bytes per second: the
// kernel keeps the rate its congestion control picks under it.
namespace TcpPacing {

inline constexpr quint64 unlimited = ~quint64(0);

// Sets the limit; false when the socket does not take it. TcpCounters::pacingLimit() reads it.
bool setLimit(qintptr socket, quint64 bytesPerSecond);

} // namespace TcpPacing
