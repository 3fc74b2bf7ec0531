// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <functional>
#include <string>

// A TCP socket bound to host:port (port 0: a free one), with SO_REUSEADDR, listening with
// `backlog` unless it is negative (then every connect is refused). `flags` are added to
// SOCK_STREAM | SOCK_CLOEXEC; `beforeBind` sets what must be set before binding. The
// socket, or -1 with `error` set.
int openListener(const std::string &host, int port, int flags, int backlog, std::string &error,
                 const std::function<void(int fd)> &beforeBind = {});

// The port a socket is bound to.
int boundPort(int fd);
