// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <cstddef>

// What the maker's service takes, in one place for both sides: tachora-service refuses
// anything beyond, and the application cuts what it uploads to fit, so that nothing it
// sends is refused for its size. Lengths are in UTF-16 units (QString::size()), as the
// service counts them; sizes are in bytes.
namespace ServiceLimits {

// The whole body of one request; the TLS proxy in front of the service takes as much.
inline constexpr std::size_t requestBodyBytes = 64 * 1024;

// Members that every request carries.
inline constexpr int deviceIdLength = 64;
inline constexpr int versionLength = 64;
inline constexpr int osLength = 256;

// A crash record ("/api/crash.php").
inline constexpr int crashKindLength = 16;
inline constexpr int crashMessageLength = 4000;
inline constexpr int crashStackLength = 32000;

// A problem report ("/api/report.php").
inline constexpr int reportTextLength = 16000;
inline constexpr int reportEmailLength = 254;

// A message sync ("/api/check.php"): the nonce and the channel.
inline constexpr int nonceLength = 64;
inline constexpr int channelLength = 32;

// A message the maker queues for the devices.
inline constexpr int messageTextLength = 10000;

} // namespace ServiceLimits
