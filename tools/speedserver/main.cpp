// SPDX-License-Identifier: GPL-3.0-or-later
// tachora-speedserver: a small HTTP(S) server that answers the requests of a speed
// test, for tests, benchmarks and measuring a LAN. One thread per connection with
// blocking I/O: simple, and on loopback never the bottleneck. The connections are
// bounded in number and in idle time, so that a LAN cannot exhaust it.

#include "Connection.h"
#include "Listener.h"
#include "ServerOptions.h"
#include "Stream.h"

#include <openssl/ssl.h>

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <pthread.h>
#include <semaphore>
#include <sys/socket.h>
#include <system_error>
#include <thread>
#include <unistd.h>

using namespace speedserver;

namespace {

int fail(const std::string &message)
{
    std::fprintf(stderr, "tachora-speedserver: %s\n", message.c_str());
    return 1;
}

bool setCongestion(int fd, const std::string &name)
{
    return name.empty()
           || setsockopt(fd, IPPROTO_TCP, TCP_CONGESTION, name.data(), socklen_t(name.size())) == 0;
}

void tuneConnection(int fd, int idleTimeoutMs, const std::string &congestion)
{
    const int on = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    setCongestion(fd, congestion);
    // A connection that moves nothing, between requests or within one, is closed.
    const timeval idle{idleTimeoutMs / 1000, (idleTimeoutMs % 1000) * 1000};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &idle, sizeof idle);
    setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &idle, sizeof idle);
}

} // namespace

int main(int argc, char **argv)
{
    std::string error;
    bool wantsHelp = false;
    const auto options = parseArguments({argv + 1, argv + argc}, error, wantsHelp);
    if (wantsHelp) {
        std::fputs(usage(), stdout);
        return 0;
    }
    if (!options) {
        std::fprintf(stderr, "tachora-speedserver: %s\n\n%s", error.c_str(), usage());
        return 2;
    }
    std::signal(SIGPIPE, SIG_IGN);

    // Stop signals are taken by one thread, so that the totals are printed whole.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGTERM);
    sigaddset(&stopSignals, SIGINT);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
    std::thread([stopSignals, printTotals = options->totals, rules = options->publicRules] {
        int received = 0;
        sigwait(&stopSignals, &received);
        if (printTotals) {
            std::printf("moved down %llu up %llu\nconnections %llu\n",
                        (unsigned long long)totals().down.load(),
                        (unsigned long long)totals().up.load(),
                        (unsigned long long)totals().connections.load());
            if (rules)
                std::printf("refused %llu\n", (unsigned long long)totals().refused.load());
            std::fflush(stdout);
        }
        std::_Exit(0);
    }).detach();

    if (!options->congestion.empty()) {
        // Refused now rather than silently on every connection.
        const int probe = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        const bool accepted = probe >= 0 && setCongestion(probe, options->congestion);
        const int cause = errno;
        if (probe >= 0)
            ::close(probe);
        if (!accepted)
            return fail("--congestion " + options->congestion + ": " + std::strerror(cause));
    }

    SSL_CTX *tls = nullptr;
    if (!options->certFile.empty()) {
        tls = makeTlsContext(options->certFile, options->keyFile, error);
        if (!tls)
            return fail(error);
    }

    // Refusing: the port is taken but nobody listens, so every connect is refused.
    const bool refusing = options->refusesConnections();
    const int server = openListener(
        options->host, options->port, 0, refusing ? -1 : 128, error, [&options](int fd) {
            const std::uint64_t slowest =
                std::min(options->upRate ? options->upRate : UINT64_MAX,
                         options->connectionRate ? options->connectionRate : UINT64_MAX);
            if (slowest == UINT64_MAX)
                return;
            // The kernel acknowledges whatever fits in the receive buffer, however slowly the
            // body is read: a small one keeps what a client sees acknowledged close to what
            // was read. Set before listening, it holds for every connection and is what their
            // window is negotiated with.
            const int bytes = int(std::clamp<std::uint64_t>(slowest / 100, 2048, 65536));
            setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &bytes, sizeof bytes);
        });
    if (server < 0)
        return fail(error);
    std::printf("port %d\n", boundPort(server));
    std::fflush(stdout);
    if (refusing) {
        for (;;)
            pause();
    }

    // A free place for each connection served; at the limit, new ones wait in the
    // listening queue until one ends.
    static std::counting_semaphore<> places(options->maxConnections);
    for (;;) {
        places.acquire();
        const int fd = accept4(server, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0) {
            places.release();
            if (errno == EINTR || errno == ECONNABORTED || errno == EMFILE || errno == ENFILE)
                continue;
            return fail(std::string("accept: ") + std::strerror(errno));
        }
        tuneConnection(fd, options->idleTimeoutMs, options->congestion);
        try {
            std::thread([fd, tls, &options] {
                auto stream = tls ? makeTlsStream(fd, tls) : makePlainStream(fd);
                if (stream)
                    serveConnection(std::move(stream), *options);
                places.release();
            }).detach();
        } catch (const std::system_error &) {
            // No thread to serve it (the system is out of them): the client sees a close.
            ::close(fd);
            places.release();
        }
    }
}
