// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QDBusConnection>
#include <QObject>

#include <functional>
#include <optional>

// Hands a downloaded package to the system's package installer, PackageKit, on the bus given
// (the system bus unless told otherwise, connected to at the first install: most runs
// install nothing). PackageKit asks for the user's authorisation itself.
class PackageInstaller : public QObject
{
    Q_OBJECT

public:
    enum class Result { installed, failed, unavailable };

    explicit PackageInstaller(std::optional<QDBusConnection> bus = std::nullopt,
                              QObject *parent = nullptr);

    // Ends with onFinished, once: unavailable when no PackageKit answers on the bus.
    void install(const QString &path);
    std::function<void(Result result, const QString &details)> onFinished;

private slots:
    void transactionError(uint code, const QString &details);
    void transactionFinished(uint exit, uint runtime);

private:
    void finish(Result result, const QString &details);

    std::optional<QDBusConnection> m_bus;
    QString m_transaction;
    QString m_details;
};
