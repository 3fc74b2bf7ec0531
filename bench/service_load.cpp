// SPDX-License-Identifier: GPL-3.0-or-later
// service-load: many concurrent clients against a running tachora-service, each on its own
// keep-alive connection with its own device id: 70 % syncs, 20 % problem reports, 5 % crash
// records, 5 % reports with a member missing. Optionally holds idle connections open the
// whole time, and samples the service's memory.
// Usage: service-load PORT [--clients N] [--seconds S] [--idle N] [--pid PID]
//        service-load PORT --attack KIND [--attackers N] [--seconds S] [--pid PID]
// Under attack, one well-behaved client (20 syncs a second, each of a new device, from
// 127.0.0.1) is timed while attackers from other loopback addresses run one of:
//   refused      N connections from 127.0.0.2 streaming syncs, past its rate limit (429)
//   idle         N connections held open without a word, 30 from each of many addresses
//   slow-bodies  N connections, each with 60 KB of a 64 KB body sent, then silence
// (the idle and slow-body holders take --per-address connections from each address, 30 by
// default; a slow body sends --body-bytes of its 65,536 at once, 60,000 by default, then
// --trickle bytes more every 200 ms, none by default). And, against a service
// behind --proxy:
//   service-load PORT --attack network [--seconds S]
// 16 clients, one per /64 of one IPv6 /48 (named in X-Real-IP), store 63 KB crash records
// as fast as the service takes them; then a client of another address tries one.

#include <algorithm>
#include <arpa/inet.h>
#include <array>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <mutex>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <string>
#include <sys/resource.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

enum Kind { sync, report, crash, badReport, kinds };
const char *const kindNames[kinds] = {"sync", "report", "crash", "bad report"};

// From 127.0.0.1, or from another loopback address (`from`, host order) when given.
int connectTo(int port, std::uint32_t from = 0)
{
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (from) {
        sockaddr_in local{};
        local.sin_family = AF_INET;
        local.sin_addr.s_addr = htonl(from);
        bind(fd, reinterpret_cast<sockaddr *>(&local), sizeof local);
    }
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(std::uint16_t(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0) {
        close(fd);
        return -1;
    }
    const int on = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    const timeval timeout{10, 0};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
    return fd;
}

std::string request(Kind kind, const std::string &device, unsigned serial)
{
    const std::string identity =
        R"("d":")" + device + R"(","v":"0.1.0","os":"Debian GNU/Linux 12")";
    std::string path = "/api/report.php";
    std::string body;
    switch (kind) {
    case sync:
        path = "/api/check.php";
        body = R"({"n":"BENCH)" + std::to_string(serial) + R"(",)" + identity + R"(,"c":"direct"})";
        break;
    case report:
        body = "{" + identity + R"(,"text":"Le test s'arrête au milieu de la descente.")"
               + R"(,"email":"bench@example.org"})";
        break;
    case crash:
        path = "/api/crash.php";
        body = "{" + identity + R"(,"kind":"crash","message":"Signal 11","stack":")"
               + std::string(30, 'f') + R"(\nmain"})";
        break;
    default:
        body = "{" + identity + "}";
    }
    return "POST " + path + " HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Length: "
           + std::to_string(body.size()) + "\r\n\r\n" + body;
}

// The status of the next answer on fd, reading it whole; 0 when the connection failed.
// `closing` tells whether the service will close the connection after it.
int readAnswer(int fd, std::string &buffer, bool &closing)
{
    for (;;) {
        const auto end = buffer.find("\r\n\r\n");
        if (end != std::string::npos) {
            const auto at = buffer.find("Content-Length: ");
            const std::size_t length =
                at < end ? std::strtoul(buffer.c_str() + at + 16, nullptr, 10) : 0;
            if (buffer.size() >= end + 4 + length) {
                const int status = std::atoi(buffer.c_str() + 9);
                closing = buffer.find("Connection: close") < end;
                buffer.erase(0, end + 4 + length);
                return status;
            }
        }
        char chunk[4096];
        const ssize_t count = recv(fd, chunk, sizeof chunk, 0);
        if (count <= 0)
            return 0;
        buffer.append(chunk, std::size_t(count));
    }
}

struct Tally
{
    std::mutex lock;
    std::vector<double> latencies; // milliseconds
    std::map<int, std::array<long, kinds>> byStatus;
    long failed = 0;
};

void client(int index, int port, Clock::time_point until, Tally &tally)
{
    const std::string device = "BENCH-" + std::to_string(getpid()) + "-" + std::to_string(index);
    std::vector<double> latencies;
    std::map<int, std::array<long, kinds>> byStatus;
    long failed = 0;
    int fd = -1;
    std::string buffer;
    for (unsigned serial = unsigned(index) * 7919; Clock::now() < until; ++serial) {
        const unsigned pick = serial % 20;
        const Kind kind = pick < 14 ? sync : pick < 18 ? report : pick < 19 ? crash : badReport;
        if (fd < 0 && (fd = connectTo(port)) < 0) {
            ++failed;
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
            continue;
        }
        const std::string bytes = request(kind, device, serial);
        const auto start = Clock::now();
        bool closing = false;
        const int status =
            send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL) == ssize_t(bytes.size())
                ? readAnswer(fd, buffer, closing)
                : 0;
        latencies.push_back(
            std::chrono::duration<double, std::milli>(Clock::now() - start).count());
        if (status == 0)
            ++failed;
        else
            ++byStatus[status][kind];
        if (status == 0 || closing) {
            close(fd);
            fd = -1;
            buffer.clear();
        }
    }
    if (fd >= 0)
        close(fd);
    const std::lock_guard guard(tally.lock);
    tally.latencies.insert(tally.latencies.end(), latencies.begin(), latencies.end());
    for (const auto &[status, counts] : byStatus) {
        for (int kind = 0; kind < kinds; ++kind)
            tally.byStatus[status][kind] += counts[kind];
    }
    tally.failed += failed;
}

// The process's resident memory in MB ("VmRSS" or "VmHWM" for its peak).
double memoryMb(int pid, const std::string &field)
{
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    for (std::string line; std::getline(status, line);) {
        if (line.starts_with(field + ":"))
            return std::atof(line.c_str() + field.size() + 1) / 1024.0;
    }
    return 0;
}

// Of values sorted in ascending order.
double percentileOf(const std::vector<double> &sorted, double p)
{
    return sorted.empty() ? 0.0 : sorted[std::size_t(p * double(sorted.size() - 1))];
}

// One attacker connection streaming requests, made again whenever the service closes it,
// until `stop`.
void flooder(int index, int port, const std::atomic<bool> &stop, std::atomic<long> &connections)
{
    std::string batch;
    for (unsigned i = 0; i < 64; ++i)
        batch += request(sync, "ATTACK-" + std::to_string(index), i);
    while (!stop) {
        const int fd = connectTo(port, 0x7F000002u);
        if (fd < 0) {
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
            continue;
        }
        ++connections;
        // As fast as the service takes them, without spinning: the attacker's processor is
        // not the service's.
        char sink[65536];
        std::size_t sent = 0;
        while (!stop) {
            pollfd ready{fd, POLLIN | POLLOUT, 0};
            if (poll(&ready, 1, 100) < 0)
                break;
            if (ready.revents & POLLOUT) {
                const ssize_t count =
                    send(fd, batch.data() + sent, batch.size() - sent, MSG_NOSIGNAL | MSG_DONTWAIT);
                if (count < 0 && errno != EAGAIN)
                    break;
                sent = count > 0 ? (sent + std::size_t(count)) % batch.size() : sent;
            }
            if (ready.revents & (POLLIN | POLLHUP | POLLERR)) {
                const ssize_t count = recv(fd, sink, sizeof sink, MSG_DONTWAIT);
                if (count == 0 || (count < 0 && errno != EAGAIN && errno != EWOULDBLOCK))
                    break;
            }
        }
        close(fd);
    }
}

// `count` connections, 30 from each of many loopback addresses (under the service's 32 per
// address), silent or with most of a body sent; each made again when the service closes it.
void holder(bool slowBodies, int count, int perAddress, int bodyBytes, int trickle, int port,
            const std::atomic<bool> &stop, std::atomic<long> &connections)
{
    const std::string slowHead = "POST /api/report.php HTTP/1.1\r\nHost: 127.0.0.1\r\n"
                                 "Content-Length: 65536\r\n\r\n"
                                 + std::string(std::size_t(bodyBytes), ' ');
    std::vector<int> fds(std::size_t(count), -1);
    while (!stop) {
        for (int i = 0; i < count && !stop; ++i) {
            int &fd = fds[std::size_t(i)];
            char probe[256];
            if (fd >= 0) {
                const ssize_t got = recv(fd, probe, sizeof probe, MSG_DONTWAIT);
                if (got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
                    // A little more of the body: whatever room the others leave is taken.
                    if (slowBodies && trickle > 0)
                        send(fd, slowHead.data(), std::size_t(trickle),
                             MSG_NOSIGNAL | MSG_DONTWAIT);
                    continue;
                }
                close(fd);
            }
            fd = connectTo(port, 0x7F010000u + std::uint32_t(i / perAddress + 1));
            if (fd < 0)
                continue;
            ++connections;
            if (slowBodies)
                send(fd, slowHead.data(), slowHead.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
    }
    for (const int fd : fds) {
        if (fd >= 0)
            close(fd);
    }
}

// A 63 KB crash record (its stack in two-byte characters), each one different, sent as
// from `address` by the proxy.
std::string bigCrash(const std::string &address, unsigned serial)
{
    std::string stack;
    for (int i = 0; i < 31000; ++i)
        stack += "\u00e9";
    const std::string body = R"({"d":"NET-)" + std::to_string(serial)
                             + R"(","v":"0.1.0","os":"Debian GNU/Linux 12","kind":"crash",)"
                             + R"("message":"Signal 11","stack":")" + stack + std::to_string(serial)
                             + R"("})";
    return "POST /api/crash.php HTTP/1.1\r\nHost: 127.0.0.1\r\nX-Real-IP: " + address
           + "\r\nContent-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body;
}

int networkFlood(int port, double seconds)
{
    std::atomic<long> stored{0}, storedBytes{0}, refused{0};
    std::vector<std::thread> threads;
    const auto started = Clock::now();
    const auto until =
        started
        + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
    for (unsigned net = 0; net < 16; ++net) {
        threads.emplace_back([&, net] {
            const std::string address = "2001:db8:1:" + std::to_string(net) + "::1";
            std::string buffer;
            int fd = -1;
            for (unsigned serial = net * 1000000; Clock::now() < until; ++serial) {
                if (fd < 0 && (fd = connectTo(port)) < 0)
                    return;
                const std::string bytes = bigCrash(address, serial);
                bool closing = false;
                const int status =
                    send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL) == ssize_t(bytes.size())
                        ? readAnswer(fd, buffer, closing)
                        : 0;
                if (status == 200) {
                    ++stored;
                    storedBytes += long(bytes.size());
                } else {
                    ++refused;
                    // Past its budgets or limits: the application would wait too.
                    std::this_thread::sleep_for(std::chrono::milliseconds(100));
                }
                if (status == 0 || closing) {
                    close(fd);
                    fd = -1;
                    buffer.clear();
                }
            }
            if (fd >= 0)
                close(fd);
        });
    }
    for (std::thread &thread : threads)
        thread.join();
    const int fd = connectTo(port);
    std::string buffer;
    bool closing = false;
    const std::string bytes = bigCrash("192.0.2.1", 999999999);
    const int elsewhere = fd >= 0 && send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL) > 0
                              ? readAnswer(fd, buffer, closing)
                              : 0;
    if (fd >= 0)
        close(fd);
    std::printf("one /48 as 16 /64s, %.0f s: %ld crash records stored (%.1f MB of requests), "
                "%ld refused; then a new address elsewhere: status %d\n",
                seconds, stored.load(), double(storedBytes.load()) / 1e6, refused.load(),
                elsewhere);
    return 0;
}

int underAttack(int port, const std::string &kind, int attackers, int perAddress, int bodyBytes,
                int trickle, double seconds, int pid)
{
    std::atomic<bool> stop{false};
    std::atomic<long> reconnects{0};
    const double before = pid ? memoryMb(pid, "VmRSS") : 0;
    std::vector<std::thread> threads;
    if (kind == "refused") {
        for (int i = 0; i < attackers; ++i)
            threads.emplace_back(flooder, i, port, std::cref(stop), std::ref(reconnects));
    } else if (kind == "idle" || kind == "slow-bodies") {
        threads.emplace_back(holder, kind == "slow-bodies", attackers, perAddress, bodyBytes,
                             trickle, port, std::cref(stop), std::ref(reconnects));
    }
    std::this_thread::sleep_for(std::chrono::seconds(kind == "refused" ? 1 : 3));

    std::vector<double> latencies;
    std::vector<double> connecting; // of each request, the time connect() took
    long failed = 0;
    std::map<int, long> byStatus;
    const auto until =
        Clock::now()
        + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
    double during = 0;
    for (unsigned serial = 0; Clock::now() < until; ++serial) {
        const auto start = Clock::now();
        const int fd = connectTo(port);
        connecting.push_back(
            std::chrono::duration<double, std::milli>(Clock::now() - start).count());
        bool closing = false;
        std::string buffer;
        const std::string bytes = request(
            sync, "PROBE-" + std::to_string(getpid()) + "-" + std::to_string(serial), serial);
        const int status = fd >= 0 && send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL) > 0
                               ? readAnswer(fd, buffer, closing)
                               : 0;
        if (fd >= 0)
            close(fd);
        latencies.push_back(
            std::chrono::duration<double, std::milli>(Clock::now() - start).count());
        if (status == 0)
            ++failed;
        else
            ++byStatus[status];
        if (pid)
            during = std::max(during, memoryMb(pid, "VmRSS"));
        std::this_thread::sleep_until(start + std::chrono::milliseconds(50));
    }
    stop = true;
    for (std::thread &thread : threads)
        thread.join();
    std::this_thread::sleep_for(std::chrono::seconds(2));
    std::sort(latencies.begin(), latencies.end());
    std::sort(connecting.begin(), connecting.end());
    const double p50 = percentileOf(latencies, 0.5), p99 = percentileOf(latencies, 0.99);
    std::printf("attack %s, %d attacker connections (%ld made), one client at 20 syncs/s:\n",
                kind.c_str(), kind == "none" ? 0 : attackers, reconnects.load());
    std::printf("client: %zu requests, p50 %.2f ms, p99 %.2f ms, max %.1f ms, failed %ld;",
                latencies.size(), p50, p99, latencies.empty() ? 0.0 : latencies.back(), failed);
    for (const auto &[status, count] : byStatus)
        std::printf(" status %d: %ld", status, count);
    std::printf("\n");
    // A connection that waits for the service to accept it shows here, apart from the
    // time the request itself took.
    std::printf("client connect: p99 %.2f ms, max %.1f ms\n", percentileOf(connecting, 0.99),
                connecting.empty() ? 0.0 : connecting.back());
    if (pid)
        std::printf("service memory: %.1f MB before, %.1f MB at most during, %.1f MB 2 s after, "
                    "peak %.1f MB\n",
                    before, during, memoryMb(pid, "VmRSS"), memoryMb(pid, "VmHWM"));
    return 0;
}

} // namespace

int main(int argc, char **argv)
{
    if (argc < 2) {
        std::fputs("Usage: service-load PORT [--clients N] [--seconds S] [--idle N] [--pid PID]\n",
                   stderr);
        return 2;
    }
    const int port = std::atoi(argv[1]);
    int clients = 100;
    double seconds = 5;
    int idleCount = 0;
    int pid = 0;
    std::string attack;
    int attackers = 16;
    int perAddress = 30;
    int bodyBytes = 60000;
    int trickle = 0;
    for (int i = 2; i + 1 < argc; i += 2) {
        const std::string name = argv[i];
        if (name == "--clients")
            clients = std::atoi(argv[i + 1]);
        else if (name == "--seconds")
            seconds = std::atof(argv[i + 1]);
        else if (name == "--idle")
            idleCount = std::atoi(argv[i + 1]);
        else if (name == "--pid")
            pid = std::atoi(argv[i + 1]);
        else if (name == "--attack")
            attack = argv[i + 1];
        else if (name == "--attackers")
            attackers = std::atoi(argv[i + 1]);
        else if (name == "--body-bytes")
            bodyBytes = std::clamp(std::atoi(argv[i + 1]), 0, 65535);
        else if (name == "--trickle")
            trickle = std::clamp(std::atoi(argv[i + 1]), 0, 1000);
        else if (name == "--per-address")
            perAddress = std::max(1, std::atoi(argv[i + 1]));
    }
    rlimit limit{};
    getrlimit(RLIMIT_NOFILE, &limit);
    limit.rlim_cur = limit.rlim_max;
    setrlimit(RLIMIT_NOFILE, &limit);
    if (attack == "network")
        return networkFlood(port, seconds);
    if (!attack.empty())
        return underAttack(port, attack, attackers, perAddress, bodyBytes, trickle, seconds, pid);

    const double before = pid ? memoryMb(pid, "VmRSS") : 0;
    std::vector<int> idle;
    for (int i = 0; i < idleCount; ++i) {
        const int fd = connectTo(port);
        if (fd >= 0)
            idle.push_back(fd);
    }
    // A few of them have sent half a request and stopped: the worst kind of idle.
    for (std::size_t i = 0; i < idle.size(); i += 4)
        send(idle[i], "POST /api/check.php HTTP/1.1\r\n", 30, MSG_NOSIGNAL);
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    const double withIdle = pid ? memoryMb(pid, "VmRSS") : 0;

    Tally tally;
    const auto started = Clock::now();
    const auto until =
        started
        + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
    std::vector<std::thread> threads;
    for (int i = 0; i < clients; ++i)
        threads.emplace_back(client, i, port, until, std::ref(tally));
    for (std::thread &thread : threads)
        thread.join();
    const double elapsed = std::chrono::duration<double>(Clock::now() - started).count();
    for (const int fd : idle)
        close(fd);

    std::vector<double> &latencies = tally.latencies;
    std::sort(latencies.begin(), latencies.end());
    std::printf("clients %d, idle connections %zu, %.1f s\n", clients, idle.size(), elapsed);
    std::printf("requests %zu, %.0f/s, p50 %.2f ms, p99 %.2f ms, max %.1f ms, failed %ld\n",
                latencies.size(), double(latencies.size()) / elapsed, percentileOf(latencies, 0.5),
                percentileOf(latencies, 0.99), latencies.empty() ? 0.0 : latencies.back(),
                tally.failed);
    for (const auto &[status, counts] : tally.byStatus) {
        std::printf("status %d:", status);
        for (int kind = 0; kind < kinds; ++kind)
            std::printf(" %s %ld%s", kindNames[kind], counts[kind], kind + 1 < kinds ? "," : "\n");
    }
    if (pid)
        std::printf("service memory: %.1f MB before, %.1f MB with the idle connections, "
                    "%.1f MB after the load, peak %.1f MB\n",
                    before, withIdle, memoryMb(pid, "VmRSS"), memoryMb(pid, "VmHWM"));
    return 0;
}
