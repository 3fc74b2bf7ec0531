#pragma once

#include <QtGlobal>

#include <optional>

// What the kernel knows about one TCP connection's outgoing stream, counted in bytes
// since the connection opened (its SYN included, so only differences mean anything).
// Absent when the socket is not a TCP socket the kernel can describe.
namespace TcpCounters {

// Bytes of the stream the peer has acknowledged: those it has received.
std::optional<quint64> acknowledged(qintptr socket);

// Bytes the program has written to the stream: those acknowledged and those still queued
// in the kernel, sent or not.
std::optional<quint64> written(qintptr socket);

} // namespace TcpCounters
