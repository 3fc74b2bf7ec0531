// SPDX-License-Identifier: GPL-3.0-or-later
// tachora-netlab: a delay line between two network namespaces, for measuring on links with a
// real round-trip time. Creates a TUN device in each namespace and carries every packet from
// one to the other, both ways, as a link of the given rate and round-trip time would: each
// is serialised at the rate behind those before it, then held for half the round-trip time;
// what would wait in the queue beyond its size is dropped at the tail, like a router does.
// The caller gives the devices their addresses once "ready" is printed; SIGTERM or SIGINT
// stops the line and prints what it carried.
//
// Usage: tachora-netlab --ns-a NS --dev-a DEV --ns-b NS --dev-b DEV --rate MBIT --rtt MS
//   [--rate-down MBIT] the rate from b to a instead (a being the client, b the server)
//   [--rate-up MBIT]   the rate from a to b instead
//   [--loss PCT]       drop each packet at random with this probability, both ways; the line
//                      then moves single packets, so that a loss is one packet, not a segment
//                      of up to 64 KB
//   [--queue-bdp F]    queue of F times the bandwidth-delay product (default 1.5)
//   [--queue-bytes N]  queue of N bytes instead
//   [--no-offload]     move single packets instead of the kernel's large TCP segments
//   [--priority P]     SCHED_FIFO priority of the two threads, 0 for none (default 50)
//   [--cpus A,B]       pin the threads (a to b, b to a) to these CPUs (default 0,1; "none")

#include "Direction.h"
#include "Tun.h"

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <optional>
#include <pthread.h>
#include <sched.h>
#include <string>
#include <sys/prctl.h>
#include <thread>

namespace {

struct Options
{
    std::string nsA, devA, nsB, devB;
    double rateMbit = 0;
    std::optional<double> rateDownMbit, rateUpMbit;
    double lossPercent = 0;
    double burstBytes = 0;
    double rttMs = -1;
    double queueBdp = 1.5;
    std::optional<double> queueBytes;
    bool offloads = true;
    int priority = 50;
    int cpuA = 0, cpuB = 1; // -1: not pinned
};

int usage()
{
    std::fputs("usage: tachora-netlab --ns-a NS --dev-a DEV --ns-b NS --dev-b DEV --rate MBIT "
               "--rtt MS [--rate-down MBIT] [--rate-up MBIT] [--loss PCT] [--burst BYTES] "
               "[--queue-bdp F | --queue-bytes N] [--no-offload] [--priority P] "
               "[--cpus A,B|none]\n",
               stderr);
    return 2;
}

std::optional<double> number(const char *text)
{
    char *end = nullptr;
    const double value = std::strtod(text, &end);
    if (end == text || *end != '\0' || !(value >= 0))
        return std::nullopt;
    return value;
}

std::optional<Options> parse(int argc, char **argv)
{
    Options options;
    for (int i = 1; i < argc; ++i) {
        const std::string name = argv[i];
        if (name == "--no-offload") {
            options.offloads = false;
            continue;
        }
        if (i + 1 >= argc)
            return std::nullopt;
        const char *value = argv[++i];
        std::optional<double> parsed = number(value);
        if (name == "--ns-a")
            options.nsA = value;
        else if (name == "--dev-a")
            options.devA = value;
        else if (name == "--ns-b")
            options.nsB = value;
        else if (name == "--dev-b")
            options.devB = value;
        else if (name == "--cpus" && std::strcmp(value, "none") == 0)
            options.cpuA = options.cpuB = -1;
        else if (name == "--cpus" && std::sscanf(value, "%d,%d", &options.cpuA, &options.cpuB) == 2)
            continue;
        else if (!parsed)
            return std::nullopt;
        else if (name == "--rate")
            options.rateMbit = *parsed;
        else if (name == "--rate-down")
            options.rateDownMbit = *parsed;
        else if (name == "--rate-up")
            options.rateUpMbit = *parsed;
        else if (name == "--loss")
            options.lossPercent = *parsed;
        else if (name == "--burst")
            options.burstBytes = *parsed;
        else if (name == "--rtt")
            options.rttMs = *parsed;
        else if (name == "--queue-bdp")
            options.queueBdp = *parsed;
        else if (name == "--queue-bytes")
            options.queueBytes = *parsed;
        else if (name == "--priority")
            options.priority = static_cast<int>(*parsed);
        else
            return std::nullopt;
    }
    if (options.nsA.empty() || options.devA.empty() || options.nsB.empty() || options.devB.empty()
        || options.rttMs < 0 || options.lossPercent >= 100)
        return std::nullopt;
    if (!options.rateDownMbit)
        options.rateDownMbit = options.rateMbit;
    if (!options.rateUpMbit)
        options.rateUpMbit = options.rateMbit;
    if (*options.rateDownMbit <= 0 || *options.rateUpMbit <= 0)
        return std::nullopt;
    if (options.lossPercent > 0)
        options.offloads = false;
    return options;
}

// Real-time priority keeps the line's timing when the machine is busy compiling; the kernel's
// real-time throttling still leaves the rest of the system a share if it ever spun.
void placeThread(std::thread &thread, int cpu, int priority)
{
    if (cpu >= 0) {
        cpu_set_t set;
        CPU_ZERO(&set);
        CPU_SET(cpu, &set);
        if (pthread_setaffinity_np(thread.native_handle(), sizeof set, &set) != 0)
            std::fprintf(stderr, "netlab: cannot pin a thread to CPU %d\n", cpu);
    }
    if (priority > 0) {
        sched_param param{};
        param.sched_priority = priority;
        if (pthread_setschedparam(thread.native_handle(), SCHED_FIFO, &param) != 0)
            std::fputs("netlab: no real-time priority; timing may suffer under load\n", stderr);
    }
}

void report(const char *name, const netlab::DirectionCounts &counts)
{
    std::printf("%s: %llu packets, %.1f MB on the wire, %llu dropped by the queue, %llu lost at "
                "random, %llu by a full line buffer, %llu writes failed\n",
                name, static_cast<unsigned long long>(counts.packets.load()),
                static_cast<double>(counts.wireBytes.load()) / 1e6,
                static_cast<unsigned long long>(counts.dropped.load()),
                static_cast<unsigned long long>(counts.lost.load()),
                static_cast<unsigned long long>(counts.ringFull.load()),
                static_cast<unsigned long long>(counts.writeFailed.load()));
}

} // namespace

int main(int argc, char **argv)
{
    const std::optional<Options> options = parse(argc, argv);
    if (!options)
        return usage();

    const int tunA = netlab::openTun(options->nsA, options->devA, options->offloads);
    const int tunB =
        tunA < 0 ? -1 : netlab::openTun(options->nsB, options->devB, options->offloads);
    if (tunA < 0 || tunB < 0)
        return 1;

    // Each direction's queue holds the same multiple of its own bandwidth-delay product.
    const auto shapeAt = [&](double rateMbit) {
        netlab::LinkShape shape;
        shape.bitsPerSecond = rateMbit * 1e6;
        shape.delayNs = static_cast<std::int64_t>(options->rttMs * 1e6 / 2);
        shape.lossFraction = options->lossPercent / 100;
        shape.burstBytes = static_cast<std::size_t>(options->burstBytes);
        const double bdp = shape.bitsPerSecond / 8 * options->rttMs / 1e3;
        // However short the line, the queue takes a few full-size packets.
        shape.queueBytes = static_cast<std::size_t>(
            std::max(options->queueBytes.value_or(options->queueBdp * bdp), 4 * 1500.0));
        return shape;
    };
    const netlab::LinkShape up = shapeAt(*options->rateUpMbit);
    const netlab::LinkShape down = shapeAt(*options->rateDownMbit);

    // The threads inherit the blocked signals: only this one waits for them.
    sigset_t stop;
    sigemptyset(&stop);
    sigaddset(&stop, SIGTERM);
    sigaddset(&stop, SIGINT);
    pthread_sigmask(SIG_BLOCK, &stop, nullptr);
    prctl(PR_SET_TIMERSLACK, 1UL);

    auto aToB = std::make_unique<netlab::Direction>(tunA, tunB, options->offloads, up, 1);
    auto bToA = std::make_unique<netlab::Direction>(tunB, tunA, options->offloads, down, 2);
    std::thread first([&] { aToB->run(); });
    std::thread second([&] { bToA->run(); });
    placeThread(first, options->cpuA, options->priority);
    placeThread(second, options->cpuB, options->priority);
    first.detach();
    second.detach();

    std::printf("ready: %.0f Mbit/s down, %.0f up, %.1f ms round trip, queues %zu and %zu bytes, "
                "%.2f %% loss, %s\n",
                *options->rateDownMbit, *options->rateUpMbit, options->rttMs, down.queueBytes,
                up.queueBytes, options->lossPercent,
                options->offloads ? "large segments" : "single packets");
    std::fflush(stdout);
    int signal = 0;
    sigwait(&stop, &signal);
    report(("a to b"), aToB->counts());
    report(("b to a"), bToA->counts());
    std::fflush(stdout);
    // The threads never return: leave without destroying what they use.
    std::_Exit(0);
}
