// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <string>

namespace netlab {

// Creates the TUN device `name` inside the network namespace `netns` (a name under
// /run/netns, as `ip netns add` makes them) and returns its non-blocking descriptor, or -1
// after printing why. With offloads the kernel may hand over (and accept) TCP segments of
// up to 64 kB behind a virtio header instead of single packets: far fewer packets to move.
// The device lives as long as the descriptor.
int openTun(const std::string &netns, const std::string &name, bool offloads);

} // namespace netlab
