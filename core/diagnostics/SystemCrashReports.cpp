// SPDX-License-Identifier: GPL-3.0-or-later
#include "diagnostics/SystemCrashReports.h"

#include <QFile>
#include <QStringDecoder>
#include <QTextBoundaryFinder>

#include <algorithm>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// Characters as a reader counts them: a letter with its accents is one.
constexpr int stackCharacters = 18000;
constexpr qint64 chunkBytes = 64 * 1024;
// Enough for the stack in any text short of pathological; the core dump is never read.
constexpr qint64 readLimitBytes = 4 * chunkBytes;

// Where the first `count` characters of the text end; its size when it has fewer.
qsizetype endOfCharacters(const QString &text, int count)
{
    QTextBoundaryFinder finder(QTextBoundaryFinder::Grapheme, text);
    qsizetype end = 0;
    for (int i = 0; i < count; ++i) {
        end = finder.toNextBoundary();
        if (end < 0)
            return text.size();
    }
    return end;
}

QString messageOf(const QString &stack)
{
    const QStringList lines = stack.split(u'\n', Qt::SkipEmptyParts);
    for (const QString &line : lines) {
        if (line.contains(u"Exception") || line.contains(u"Termination"))
            return line;
    }
    for (const QString &line : lines) {
        if (line.startsWith(u"Title:"))
            return line;
    }
    return QStringLiteral("Rapport système Linux");
}

} // namespace

namespace SystemCrashReports {

bool isReportOf(const QString &fileName, const QString &executablePath)
{
    if (executablePath.isEmpty())
        return false;
    QString prefix = executablePath;
    prefix.replace(u'/', u'_');
    prefix += u'.';
    const QLatin1String suffix(".crash");
    if (fileName.size() <= prefix.size() + suffix.size() || !fileName.startsWith(prefix)
        || !fileName.endsWith(suffix))
        return false;
    const QStringView number = QStringView(fileName).sliced(
        prefix.size(), fileName.size() - prefix.size() - suffix.size());
    return std::all_of(number.begin(), number.end(),
                       [](QChar c) { return c >= u'0' && c <= u'9'; });
}

std::optional<Report> read(const QString &path)
{
    // Non-blocking, so that a FIFO named like a report cannot hold the launch up.
    const int descriptor =
        ::open(QFile::encodeName(path).constData(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (descriptor < 0)
        return std::nullopt;
    QFile file;
    if (!file.open(descriptor, QIODevice::ReadOnly, QFileDevice::AutoCloseHandle)) {
        ::close(descriptor);
        return std::nullopt;
    }
    struct stat info
    {};
    if (::fstat(descriptor, &info) != 0 || !S_ISREG(info.st_mode) || info.st_uid != ::geteuid())
        return std::nullopt;

    QStringDecoder decoder(QStringDecoder::Utf8);
    QString text;
    qint64 readBytes = 0;
    while (true) {
        const QByteArray chunk = file.read(chunkBytes);
        if (file.error() != QFileDevice::NoError)
            return std::nullopt;
        readBytes += chunk.size();
        text += decoder.decode(chunk);
        if (decoder.hasError())
            return std::nullopt;
        if (file.atEnd() || chunk.isEmpty() || readBytes >= readLimitBytes
            || endOfCharacters(text, stackCharacters) < text.size())
            break;
    }
    Report report;
    report.stack = text.left(endOfCharacters(text, stackCharacters));
    report.message = messageOf(report.stack);
    return report;
}

} // namespace SystemCrashReports
