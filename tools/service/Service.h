// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "FailureLog.h"
#include "HttpServer.h"
#include "RateLimiter.h"
#include "Signer.h"
#include "Store.h"

#include <chrono>
#include <memory>
#include <string>
#include <vector>

// The three endpoints the application calls: crash records and problem reports are
// stored; a sync is answered with the device's next message, signed.
class Service
{
public:
    struct Settings
    {
        std::string database;
        int workers = 8;
        // How many syncs of a device carry each of its messages.
        int repeats = 3;
        double devicePerMinute = 12;
        double addressPerMinute = 300;
        // Crash records of installations without an id yet ("?"), by address.
        double unknownDevicePerMinute = 4;
        Store::Budget budget;
        std::chrono::seconds databaseTimeout{10};
    };

    Service(Settings settings, const Signer &signer);

    // On worker `worker`'s thread.
    HttpResponse handle(const HttpRequest &request, int worker);
    // The per-address limit (and for IPv6, a wider one per /48), checked before a request
    // reaches a worker.
    bool admit(const std::string &address);

    // The bytes that "sig" signs: n, ts, mid and msg, each but the last followed by "\n".
    static std::string signedText(const std::string &nonce, std::int64_t time,
                                  std::int64_t messageId, const std::string &message);

private:
    // The worker's own connection, opened on first use; null when the database is out
    // of reach (the request gets 503 and the next one tries again).
    Store *store(int worker);

    Settings m_settings;
    const Signer &m_signer;
    RateLimiter m_perDevice;
    RateLimiter m_perAddress;
    RateLimiter m_perNetwork;
    RateLimiter m_unknownDevices;
    std::vector<std::unique_ptr<Store>> m_stores;
    FailureLog m_failures;
};
