// SPDX-License-Identifier: GPL-3.0-or-later
#include "Listener.h"

#include <cerrno>
#include <cstring>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

int openListener(const std::string &host, int port, int flags, int backlog, std::string &error,
                 const std::function<void(int fd)> &beforeBind)
{
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_PASSIVE | AI_NUMERICSERV;
    addrinfo *found = nullptr;
    if (const int status =
            getaddrinfo(host.c_str(), std::to_string(port).c_str(), &hints, &found)) {
        error = "cannot resolve " + host + ": " + gai_strerror(status);
        return -1;
    }
    int fd = -1;
    for (addrinfo *each = found; each && fd < 0; each = each->ai_next) {
        fd = socket(each->ai_family, SOCK_STREAM | SOCK_CLOEXEC | flags, each->ai_protocol);
        if (fd < 0)
            continue;
        const int on = 1;
        setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
        if (beforeBind)
            beforeBind(fd);
        if (bind(fd, each->ai_addr, each->ai_addrlen) != 0
            || (backlog >= 0 && listen(fd, backlog) != 0)) {
            error = "cannot listen on " + host + ":" + std::to_string(port) + ": "
                    + std::strerror(errno);
            close(fd);
            fd = -1;
        }
    }
    freeaddrinfo(found);
    return fd;
}

int boundPort(int fd)
{
    sockaddr_storage address{};
    socklen_t length = sizeof address;
    getsockname(fd, reinterpret_cast<sockaddr *>(&address), &length);
    if (address.ss_family == AF_INET6)
        return ntohs(reinterpret_cast<const sockaddr_in6 &>(address).sin6_port);
    return ntohs(reinterpret_cast<const sockaddr_in &>(address).sin_port);
}
