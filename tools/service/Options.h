#pragma once

#include <optional>
#include <string>
#include <vector>

// The command line of tachora-service: one command and its options.
struct Options
{
    std::string command; // keygen, serve, reports, crashes, answer, broadcast
    std::string keyFile;
    std::string host = "127.0.0.1";
    int port = 8080;
    std::string database; // empty: the default SQLite file
    std::string device;
    std::string text;
    long long limit = 50;
    bool stacks = false;

    int threads = 8;
    int timeoutSeconds = 10;
    double addressPerMinute = 300;
    double devicePerMinute = 12;
    int repeats = 3;
    int maxConnections = 10000;
    int maxAddressConnections = 32;
    bool proxy = false;
};

// Nothing, with `error` set, when the command line is wrong. "--help" or no command sets
// `wantsHelp`.
std::optional<Options> parseOptions(const std::vector<std::string> &arguments, std::string &error,
                                    bool &wantsHelp);

const char *usage();
