// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QString>
#include <QStringList>

// Where uploads to the maker's service go, and what each says about this program and machine.
namespace SystemInfo {

// The address of path ("/api/...") on the service at origin; an empty origin means the
// build's own service.
QByteArray serviceUrl(const QString &origin, const QString &path);

// This build's version, as every upload names it.
QString versionText();

// The running system as os-release names it, NAME and VERSION_ID ("Debian GNU/Linux 12");
// "Linux " and the kernel release when the system has no os-release.
QString osText();

// The same from the first of these os-release files that can be read.
QString osText(const QStringList &osReleaseFiles);

} // namespace SystemInfo
