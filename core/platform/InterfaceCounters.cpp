// SPDX-License-Identifier: GPL-3.0-or-later
#include "platform/InterfaceCounters.h"

#include <charconv>

namespace InterfaceCounters {

namespace {

// The kernel refuses these names, so a line carrying one is not an interface entry; it
// would also let a name escape the sysfs folder it is looked up in.
bool isPlausibleName(QByteArrayView name)
{
    if (name.isEmpty() || name.size() > 15 || name == "." || name == "..")
        return false;
    for (const char c : name) {
        if (c == '/' || static_cast<unsigned char>(c) <= ' ' || c == 0x7f)
            return false;
    }
    return true;
}

bool isSpace(char c)
{
    return c == ' ' || c == '\t';
}

QByteArrayView trimmed(QByteArrayView text)
{
    while (!text.isEmpty() && isSpace(text.front()))
        text = text.sliced(1);
    while (!text.isEmpty() && isSpace(text.back()))
        text.chop(1);
    return text;
}

} // namespace

QList<Interface> parseProcNetDev(QByteArrayView text)
{
    // Each entry: "<name>: <16 decimal fields>", received bytes first, sent bytes ninth.
    constexpr int sentField = 8;
    constexpr int fieldCount = 16;
    QList<Interface> interfaces;
    qsizetype start = 0;
    while (start < text.size()) {
        qsizetype end = text.indexOf('\n', start);
        if (end < 0)
            end = text.size();
        const QByteArrayView line = text.sliced(start, end - start);
        start = end + 1;

        const qsizetype colon = line.indexOf(':');
        if (colon < 0)
            continue;
        const QByteArrayView name = trimmed(line.first(colon));
        if (!isPlausibleName(name))
            continue;

        quint64 fields[fieldCount];
        int count = 0;
        QByteArrayView rest = line.sliced(colon + 1);
        bool wellFormed = true;
        while (wellFormed) {
            rest = trimmed(rest);
            if (rest.isEmpty())
                break;
            if (count == fieldCount) {
                wellFormed = false;
                break;
            }
            qsizetype length = 0;
            while (length < rest.size() && !isSpace(rest[length]))
                ++length;
            const char *first = rest.data();
            const auto [ptr, error] = std::from_chars(first, first + length, fields[count]);
            wellFormed = error == std::errc() && ptr == first + length;
            ++count;
            rest = rest.sliced(length);
        }
        if (!wellFormed || count != fieldCount)
            continue;
        interfaces.append({name.toByteArray(), fields[0], fields[sentField]});
    }
    return interfaces;
}

QList<Interface> counted(const QList<Interface> &interfaces,
                         const std::function<bool(const QByteArray &name)> &isDeviceBacked)
{
    QList<Interface> all;
    QList<Interface> backed;
    for (const Interface &interface : interfaces) {
        if (interface.name.startsWith("lo"))
            continue;
        all.append(interface);
        if (isDeviceBacked && isDeviceBacked(interface.name))
            backed.append(interface);
    }
    return backed.isEmpty() ? all : backed;
}

} // namespace InterfaceCounters
