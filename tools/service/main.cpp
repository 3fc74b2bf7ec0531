// SPDX-License-Identifier: GPL-3.0-or-later
// tachora-service: the maker's service that the application reports to and takes its
// messages from, and the maker's commands to read reports and answer them.

#include "Commands.h"
#include "Options.h"

#include <sodium.h>

#include <cstdio>

int main(int argc, char **argv)
{
    std::string error;
    bool wantsHelp = false;
    const auto options = parseOptions({argv + 1, argv + argc}, error, wantsHelp);
    if (wantsHelp) {
        std::fputs(usage(), stdout);
        return 0;
    }
    if (!options) {
        std::fprintf(stderr, "tachora-service: %s\n\n%s", error.c_str(), usage());
        return 2;
    }
    if (sodium_init() < 0) {
        std::fputs("tachora-service: libsodium cannot start\n", stderr);
        return 1;
    }
    if (options->command == "keygen")
        return commands::keygen(*options);
    if (options->command == "serve")
        return commands::serve(*options);
    if (options->command == "reports" || options->command == "crashes")
        return commands::list(*options);
    if (options->command == "purge")
        return commands::purge(*options);
    return commands::queue(*options);
}
