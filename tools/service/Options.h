// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <optional>
#include <string>
#include <vector>

// The command line of tachora-service: one command and its options.
struct Options
{
    std::string command; // keygen, serve, reports, crashes, answer, broadcast, purge
    std::string keyFile;
    std::string host = "127.0.0.1";
    int port = 8080;
    std::string database; // empty: the default SQLite file
    std::string device;
    std::string text;
    long long limit = 50;
    long long before = 0; // 0: from the newest
    bool stacks = false;
    int olderThanDays = 0;

    int threads = 8;
    int timeoutSeconds = 10;
    double addressPerMinute = 300;
    double devicePerMinute = 12;
    int repeats = 3;
    int maxConnections = 10000;
    int maxAddressConnections = 32;
    int maxNetworkConnections = 256;
    long long maxUnfinishedBytes = 64LL * 1024 * 1024;
    int queueTimeoutSeconds = 5;
    int databaseTimeoutSeconds = 10;
    long long storageBudget = 10LL * 1024 * 1024 * 1024;
    long long addressBudget = 4LL * 1024 * 1024;
    long long networkBudget = 0; // 0: 4 × addressBudget
    double unknownDevicePerMinute = 4;
    bool proxy = false;
};

// Nothing, with `error` set, when the command line is wrong. "--help" or no command sets
// `wantsHelp`.
std::optional<Options> parseOptions(const std::vector<std::string> &arguments, std::string &error,
                                    bool &wantsHelp);

const char *usage();
