// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "Options.h"

// The commands of tachora-service; each returns the process's exit status.
namespace commands {

int keygen(const Options &options);
int serve(const Options &options);
int list(const Options &options);  // reports and crashes
int queue(const Options &options); // answer and broadcast
int purge(const Options &options);

} // namespace commands
