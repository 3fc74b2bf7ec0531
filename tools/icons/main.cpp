// SPDX-License-Identifier: GPL-3.0-or-later
// tachora-icons FOLDER NAME SIZE...: writes the application icon, drawn by the application's
// own code from app/resources/tachora.svg, as FOLDER/<size>x<size>/apps/NAME.png for each size.
// Runs without a display (QT_QPA_PLATFORM=offscreen).

#include "AppIcon.h"

#include <QDir>
#include <QGuiApplication>

#include <cstdio>

int main(int argc, char **argv)
{
    QGuiApplication app(argc, argv);
    const QStringList arguments = QGuiApplication::arguments();
    if (arguments.size() < 4) {
        std::fprintf(stderr, "usage: tachora-icons FOLDER NAME SIZE...\n");
        return 2;
    }
    for (const QString &text : arguments.mid(3)) {
        bool ok = false;
        const int size = text.toInt(&ok);
        const QString folder = QStringLiteral("%1/%2x%2/apps").arg(arguments[1]).arg(size);
        const QString path = folder + u'/' + arguments[2] + QStringLiteral(".png");
        if (!ok || size <= 0 || !QDir().mkpath(folder)
            || !AppIcon::applicationPixmap(size, 1.0).save(path)) {
            std::fprintf(stderr, "tachora-icons: cannot write %s\n", qPrintable(path));
            return 1;
        }
    }
    return 0;
}
