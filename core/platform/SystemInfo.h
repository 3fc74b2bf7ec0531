#pragma once

#include <QString>
#include <QStringList>

// What every upload to the maker's service says about the machine.
namespace SystemInfo {

// The running system as os-release names it, NAME and VERSION_ID ("Debian GNU/Linux 12");
// "Linux " and the kernel release when the system has no os-release.
QString osText();

// The same from the first of these os-release files that can be read.
QString osText(const QStringList &osReleaseFiles);

} // namespace SystemInfo
