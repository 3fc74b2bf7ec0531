// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QByteArray>
#include <QtGlobal>

#include <optional>

// What the kernel knows about one TCP connection: its outgoing stream, counted in bytes
// since the connection opened (its SYN included, so only differences mean anything), and
// how far its receive window can still open. Absent when the socket is not a TCP socket
// the kernel can describe.
namespace TcpCounters {

// Bytes of the stream the peer has acknowledged: those it has received.
std::optional<quint64> acknowledged(qintptr socket);

// Bytes of the stream the peer has received, in order or not: those acknowledged, and
// those it acknowledged selectively past a lost packet. A loss holds the first count for a
// round trip or more (at 150 ms, a whole upload's count stood still for 0.2 s and then
// jumped at three times the line's rate) while the segments after it keep arriving; this
// one moves as the link delivers.
std::optional<quint64> delivered(qintptr socket);

// Bytes the program has written to the stream: those acknowledged and those still queued
// in the kernel, sent or not.
std::optional<quint64> written(qintptr socket);

// What the connection has received per round trip at its best (the kernel's measure, by
// which it sizes the receive buffer), once that buffer has grown to the most the system
// lets it grow: from then on the window offered to the sender can open no further, and
// this stops growing when the connection carries all its window allows. Absent before, or
// when unknown.
std::optional<quint32> receivedPerRoundTripAtLimit(qintptr socket);

// Segments the connection has sent again since it opened: those it took for lost.
std::optional<quint32> retransmitted(qintptr socket);

// The most its sender may pace it at, in bytes per second (TcpPacing::setLimit());
// TcpPacing::unlimited when nothing holds it.
std::optional<quint64> pacingLimit(qintptr socket);

// The name of the connection's congestion control ("cubic", "bbr"); absent when unknown.
std::optional<QByteArray> congestionControl(qintptr socket);

} // namespace TcpCounters
