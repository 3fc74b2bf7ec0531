// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "Pacer.h"

#include <atomic>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace speedserver {

// Which requests a fault applies to.
enum class Target { any, head, down, up };

// A misbehaviour to show for matching requests, to test how clients cope.
struct Fault
{
    enum class Kind { status, closeAfter, stall, endless, refuse, delay, accept, rate };
    Kind kind = Kind::status;
    int status = 0;
    // closeAfter: the body bytes before the close; accept: those an upload's answer says
    // were accepted; rate: the download body's bytes per second.
    std::uint64_t bytes = 0;
    int delayMs = 0;
    Target target = Target::any;
    // Only this many matching requests get the fault; negative means all of them.
    std::int64_t count = -1;
    // The first this many matching requests are left alone.
    std::int64_t skip = 0;
    // Shared by every connection thread.
    std::shared_ptr<std::atomic<std::int64_t>> used =
        std::make_shared<std::atomic<std::int64_t>>(0);

    // Whether the matching request with this index, counted from 0, gets the fault.
    bool takes(std::int64_t index) const
    {
        return index >= skip && (count < 0 || index - skip < count);
    }
};

struct ServerOptions
{
    std::string host = "127.0.0.1";
    int port = 0;
    std::string certFile;
    std::string keyFile;
    // Bytes per second, 0 = unlimited. The two rates hold all connections together, as one
    // link would; the connection rate holds each connection on its own, both ways.
    std::uint64_t downRate = 0;
    std::uint64_t upRate = 0;
    std::uint64_t connectionRate = 0;
    std::shared_ptr<LinkPacer> downLink = std::make_shared<LinkPacer>(0);
    std::shared_ptr<LinkPacer> upLink = std::make_shared<LinkPacer>(0);
    int delayMs = 0;
    // The congestion control of every connection, such as "cubic"; empty: the system's.
    std::string congestion;
    // Each connection is a thread: a bound on them bounds the memory.
    int maxConnections = 64;
    int idleTimeoutMs = 10000;
    std::vector<Fault> faults;
    bool log = false;
    // With log, also print when each answered request's body began and ended moving.
    bool logTimes = false;
    // On SIGTERM/SIGINT, print the body bytes moved, "moved down <n> up <n>", and the
    // connections served, "connections <n>"; with publicRules, also the downloads refused,
    // "refused <n>".
    bool totals = false;
    // Answer as the public speed-test service does today: a download of sizeCap bytes or
    // more is refused with 403 unless the request names a page (Origin or Referer), and the
    // answer to an upload says how many body bytes were accepted (cf-meta-upload-bytes).
    bool publicRules = false;
    std::uint64_t sizeCap = 100'000'000;

    bool refusesConnections() const;
    // The first fault that applies to this request, counting it as used.
    const Fault *takeFault(Target requestTarget) const;
};

// Parses "KIND[@TARGET][#N][+S]"; absent when malformed.
std::optional<Fault> parseFault(const std::string &text);

// Parses the command line; on failure sets error and returns nothing. "--help" sets
// wantsHelp.
std::optional<ServerOptions> parseArguments(const std::vector<std::string> &arguments,
                                            std::string &error, bool &wantsHelp);

const char *usage();

} // namespace speedserver
