// SPDX-License-Identifier: GPL-3.0-or-later
#include "ServerOptions.h"

#include <charconv>

namespace speedserver {

namespace {

template <typename Number>
std::optional<Number> parseNumber(std::string_view text)
{
    Number value{};
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc() || end != text.data() + text.size() || text.empty())
        return std::nullopt;
    return value;
}

std::optional<Target> parseTarget(std::string_view text)
{
    if (text == "head")
        return Target::head;
    if (text == "down")
        return Target::down;
    if (text == "up")
        return Target::up;
    return std::nullopt;
}

} // namespace

const char *usage()
{
    return R"(Usage: tachora-speedserver [options]
Answers the requests of a speed test: HEAD /__down?bytes=0, GET /__down?bytes=N, POST /__up.

  --host ADDR         listen address (default 127.0.0.1)
  --port N            port; 0 (default) picks a free one. The first output line is "port N".
  --cert FILE         serve HTTPS with this PEM certificate (needs --key)
  --key FILE          the certificate's PEM private key
  --down-rate B       send download bodies at most at B bytes per second, all
                      connections together, as one link would
  --up-rate B         read upload bodies at most at B bytes per second, all connections
                      together; the receive buffer is kept small so that the kernel
                      takes little ahead of it
  --connection-rate B also hold each connection to B bytes per second, both ways
  --delay MS          wait MS milliseconds before answering each request
  --congestion NAME   TCP congestion control of every connection, such as cubic
                      (one the system does not allow needs CAP_NET_ADMIN)
  --max-connections N serve at most N connections at once (default 64); more wait
  --idle-timeout MS   close a connection that moves nothing for MS milliseconds
                      (default 10000)
  --fault FAULT       misbehave, for tests; repeatable, the first matching fault applies.
                      FAULT is KIND[@TARGET][#N]:
                        status=CODE        answer CODE, from 400 on with a 20,000-byte
                                           error page, without reading a request body
                        close-after=BYTES  close the connection after BYTES body bytes
                                           (a HEAD request gets no answer at all)
                        stall              never answer; wait until the client leaves
                        endless            answer 200 with a body that never ends (after
                                           reading the request body)
                        refuse             refuse every connection (no TARGET, no #N)
                        delay=MS           answer MS milliseconds later, after --delay
                        accept=BYTES       answer an upload saying that only BYTES of
                                           its body were accepted (cf-meta-upload-bytes)
                        rate=BYTES         send a download's body, or read an upload's,
                                           at BYTES a second at most (a connection whose
                                           window grows no more, or one that crawls)
                      TARGET is head, down or up (default: every request);
                      #N limits the fault to the first N matching requests, +S
                      leaves the first S matching requests alone.
  --public-rules      answer as the public speed-test service does: refuse a download
                      of the size cap or more with 403 unless the request has an Origin
                      or a Referer header, and say in the answer to an upload how many
                      body bytes were accepted (cf-meta-upload-bytes); with --totals,
                      also print the downloads refused, "refused N"
  --size-cap N        the size cap of --public-rules (default 100000000)
  --log               print "METHOD TARGET" on standard output for every request
  --log-times         with --log, also print "times METHOD TARGET HEAD START END CONN"
                      once a request is answered: when its head arrived and when its
                      body began and ended moving, in microseconds of the system's
                      monotonic clock (START and END are 0 without a body), and the
                      connection it came on, numbered from 1 as they came
  --totals            when stopped by SIGTERM or SIGINT, print the body bytes moved,
                      "moved down N up N", then the connections served, "connections N"
  --help              show this text
)";
}

std::optional<Fault> parseFault(const std::string &text)
{
    std::string_view rest(text);
    Fault fault;
    // Takes a trailing "<mark><count>" off the text into the count; false when malformed.
    const auto takeCount = [&rest](char mark, std::int64_t &count) {
        const auto at = rest.rfind(mark);
        if (at == std::string_view::npos)
            return true;
        const auto number = parseNumber<std::int64_t>(rest.substr(at + 1));
        if (!number || *number < 0)
            return false;
        count = *number;
        rest = rest.substr(0, at);
        return true;
    };
    if (!takeCount('+', fault.skip) || !takeCount('#', fault.count))
        return std::nullopt;
    if (const auto at = rest.rfind('@'); at != std::string_view::npos) {
        const auto target = parseTarget(rest.substr(at + 1));
        if (!target)
            return std::nullopt;
        fault.target = *target;
        rest = rest.substr(0, at);
    }
    const auto equals = rest.find('=');
    const std::string_view kind = rest.substr(0, equals);
    const std::string_view value =
        equals == std::string_view::npos ? std::string_view() : rest.substr(equals + 1);
    if (kind == "status") {
        const auto status = parseNumber<int>(value);
        if (!status || *status < 100 || *status > 999)
            return std::nullopt;
        fault.kind = Fault::Kind::status;
        fault.status = *status;
    } else if (kind == "close-after" || kind == "accept" || kind == "rate") {
        const auto bytes = parseNumber<std::uint64_t>(value);
        if (!bytes || (kind == "rate" && *bytes == 0))
            return std::nullopt;
        fault.kind = kind == "accept" ? Fault::Kind::accept
                     : kind == "rate" ? Fault::Kind::rate
                                      : Fault::Kind::closeAfter;
        fault.bytes = *bytes;
    } else if (kind == "delay") {
        const auto delay = parseNumber<int>(value);
        if (!delay || *delay < 0)
            return std::nullopt;
        fault.kind = Fault::Kind::delay;
        fault.delayMs = *delay;
    } else if (kind == "stall" && equals == std::string_view::npos) {
        fault.kind = Fault::Kind::stall;
    } else if (kind == "endless" && equals == std::string_view::npos) {
        fault.kind = Fault::Kind::endless;
    } else if (kind == "refuse" && equals == std::string_view::npos) {
        // Connections are refused before any request comes, so a refusal cannot pick
        // requests; it could pick connections only by closing the port now and then.
        if (fault.target != Target::any || fault.count >= 0 || fault.skip > 0)
            return std::nullopt;
        fault.kind = Fault::Kind::refuse;
    } else {
        return std::nullopt;
    }
    return fault;
}

bool ServerOptions::refusesConnections() const
{
    for (const Fault &fault : faults) {
        if (fault.kind == Fault::Kind::refuse)
            return true;
    }
    return false;
}

const Fault *ServerOptions::takeFault(Target requestTarget) const
{
    for (const Fault &fault : faults) {
        if (fault.target != Target::any && fault.target != requestTarget)
            continue;
        if ((fault.count >= 0 || fault.skip > 0) && !fault.takes(fault.used->fetch_add(1)))
            continue;
        return &fault;
    }
    return nullptr;
}

std::optional<ServerOptions> parseArguments(const std::vector<std::string> &arguments,
                                            std::string &error, bool &wantsHelp)
{
    ServerOptions options;
    wantsHelp = false;
    for (size_t i = 0; i < arguments.size(); ++i) {
        const std::string &name = arguments[i];
        if (name == "--help" || name == "-h") {
            wantsHelp = true;
            return options;
        }
        if (name == "--log" || name == "--totals" || name == "--log-times"
            || name == "--public-rules") {
            (name == "--log"         ? options.log
             : name == "--totals"    ? options.totals
             : name == "--log-times" ? options.logTimes
                                     : options.publicRules) = true;
            continue;
        }
        if (i + 1 >= arguments.size()) {
            error = "missing value after " + name;
            return std::nullopt;
        }
        const std::string &value = arguments[++i];
        bool ok = true;
        if (name == "--host") {
            options.host = value;
        } else if (name == "--port") {
            const auto port = parseNumber<int>(value);
            ok = port && *port >= 0 && *port <= 65535;
            options.port = port.value_or(0);
        } else if (name == "--cert") {
            options.certFile = value;
        } else if (name == "--key") {
            options.keyFile = value;
        } else if (name == "--down-rate" || name == "--up-rate" || name == "--connection-rate") {
            const auto rate = parseNumber<std::uint64_t>(value);
            ok = rate.has_value();
            (name == "--down-rate" ? options.downRate
             : name == "--up-rate" ? options.upRate
                                   : options.connectionRate) = rate.value_or(0);
        } else if (name == "--size-cap") {
            const auto cap = parseNumber<std::uint64_t>(value);
            ok = cap && *cap > 0;
            options.sizeCap = cap.value_or(0);
        } else if (name == "--delay") {
            const auto delay = parseNumber<int>(value);
            ok = delay && *delay >= 0;
            options.delayMs = delay.value_or(0);
        } else if (name == "--congestion") {
            options.congestion = value;
            ok = !value.empty();
        } else if (name == "--max-connections") {
            const auto count = parseNumber<int>(value);
            ok = count && *count > 0;
            options.maxConnections = count.value_or(0);
        } else if (name == "--idle-timeout") {
            const auto timeout = parseNumber<int>(value);
            ok = timeout && *timeout > 0;
            options.idleTimeoutMs = timeout.value_or(0);
        } else if (name == "--fault") {
            const auto fault = parseFault(value);
            ok = fault.has_value();
            if (fault)
                options.faults.push_back(*fault);
        } else {
            error = "unknown option " + name;
            return std::nullopt;
        }
        if (!ok) {
            error = "bad value for " + name + ": " + value;
            return std::nullopt;
        }
    }
    if (options.certFile.empty() != options.keyFile.empty()) {
        error = "--cert and --key go together";
        return std::nullopt;
    }
    options.downLink = std::make_shared<LinkPacer>(options.downRate);
    options.upLink = std::make_shared<LinkPacer>(options.upRate);
    return options;
}

} // namespace speedserver
