// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "ServerOptions.h"
#include "Stream.h"

#include <atomic>
#include <cstdint>
#include <memory>

namespace speedserver {

// Body bytes sent and received by every connection of the process.
struct Totals
{
    std::atomic<std::uint64_t> down{0};
    std::atomic<std::uint64_t> up{0};
    std::atomic<std::uint64_t> connections{0};
    // Downloads refused by the public rules.
    std::atomic<std::uint64_t> refused{0};
};
Totals &totals();

// Answers the requests of one connection until it closes, on the calling thread.
void serveConnection(std::unique_ptr<Stream> stream, const ServerOptions &options);

} // namespace speedserver
