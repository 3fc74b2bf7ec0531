// SPDX-License-Identifier: GPL-3.0-or-later
#include "Tun.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <linux/if.h>
#include <linux/if_tun.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <unistd.h>

namespace netlab {

namespace {

// Closes a descriptor at the end of the scope.
struct Fd
{
    int fd;
    ~Fd()
    {
        if (fd >= 0)
            close(fd);
    }
};

int fail(const char *what, const std::string &name)
{
    std::fprintf(stderr, "netlab: %s %s: %s\n", what, name.c_str(), std::strerror(errno));
    return -1;
}

} // namespace

int openTun(const std::string &netns, const std::string &name, bool offloads)
{
    if (name.size() >= IFNAMSIZ)
        return errno = ENAMETOOLONG, fail("device name", name);
    const Fd home{open("/proc/self/ns/net", O_RDONLY | O_CLOEXEC)};
    const Fd target{open(("/run/netns/" + netns).c_str(), O_RDONLY | O_CLOEXEC)};
    if (home.fd < 0 || target.fd < 0)
        return fail("network namespace", netns);
    if (setns(target.fd, CLONE_NEWNET) < 0)
        return fail("enter network namespace", netns);
    // A device is created in the namespace of the thread that asks for it.
    int fd = open("/dev/net/tun", O_RDWR | O_NONBLOCK | O_CLOEXEC);
    ifreq request{};
    std::memcpy(request.ifr_name, name.c_str(), name.size());
    request.ifr_flags = IFF_TUN | IFF_NO_PI | (offloads ? IFF_VNET_HDR : 0);
    bool ok = fd >= 0 && ioctl(fd, TUNSETIFF, &request) == 0;
    if (ok && offloads)
        ok = ioctl(fd, TUNSETOFFLOAD, TUN_F_CSUM | TUN_F_TSO4 | TUN_F_TSO6 | TUN_F_TSO_ECN) == 0;
    const int error = errno;
    if (setns(home.fd, CLONE_NEWNET) < 0)
        ok = false;
    if (!ok) {
        errno = error;
        if (fd >= 0)
            close(fd);
        return fail("tun device", name);
    }
    return fd;
}

} // namespace netlab
