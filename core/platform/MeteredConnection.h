// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

// Whether the connection in use is metered, as the system's network manager says (through
// Qt's network information, whose NetworkManager backend knows it); false when no backend
// can tell.
namespace MeteredConnection {

bool isMetered();

} // namespace MeteredConnection
