#pragma once

#include <QtGlobal>

#include <optional>

// What the kernel knows about one TCP connection: its outgoing stream, counted in bytes
// since the connection opened (its SYN included, so only differences mean anything), and
// whether its receive window can still open. Absent when the socket is not a TCP socket
// the kernel can describe.
namespace TcpCounters {

// Bytes of the stream the peer has acknowledged: those it has received.
std::optional<quint64> acknowledged(qintptr socket);

// Bytes the program has written to the stream: those acknowledged and those still queued
// in the kernel, sent or not.
std::optional<quint64> written(qintptr socket);

// The connection's receive buffer has grown to the most the system lets it grow: the window
// offered to the sender can open no further. False when unknown.
bool receiveBufferAtLimit(qintptr socket);

} // namespace TcpCounters
