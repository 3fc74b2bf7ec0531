// SPDX-License-Identifier: GPL-3.0-or-later
// Writes PNG pictures of the gauge at a few rates and of the three result tiles, in a light
// and a dark palette, and of the tray item's live texts and glyph at 16, 22 and 32 px on a
// light and a dark panel, to the folder given on the command line.

#include "live/StatusItemIcon.h"
#include "settings/SpeedSettings.h"
#include "views/GaugeView.h"
#include "views/ResultTile.h"

#include <QApplication>
#include <QDir>
#include <QFontDatabase>
#include <QHBoxLayout>
#include <QPainter>
#include <QPixmap>
#include <QTemporaryDir>
#include <QTextStream>

#include <cstdio>

namespace {

QPalette makePalette(const QColor &window, const QColor &text)
{
    QPalette palette(text, window);
    palette.setColor(QPalette::WindowText, text);
    palette.setColor(QPalette::Text, text);
    palette.setColor(QPalette::Window, window);
    palette.setColor(QPalette::Base, window);
    return palette;
}

struct GaugePicture
{
    const char *name;
    double mbps;
    bool megabytes;
    const char *caption;
};

bool save(const QImage &image, const QString &path)
{
    const bool saved = image.save(path);
    QTextStream(saved ? stdout : stderr)
        << (saved ? "wrote " : "could not write ") << path << Qt::endl;
    return saved;
}

bool save(QWidget &widget, const QString &path)
{
    return save(widget.grab().toImage(), path);
}

// One row per icon size, one column per live text and a last one for the glyph, on a strip of
// panel colour as a tray would show them.
QImage traySheet(const QColor &panel, const QPalette &theme)
{
    const QString texts[] = {QStringLiteral("↓0k"), QStringLiteral("↓999k"), QStringLiteral("↓12M"),
                             QStringLiteral("↓123M"), QStringLiteral("↓1,5M")};
    const int sizes[] = {16, 22, 32};
    constexpr int cell = 40;
    QImage sheet((std::size(texts) + 1) * cell, std::size(sizes) * cell, QImage::Format_RGB32);
    sheet.fill(panel);
    QPainter painter(&sheet);
    for (int row = 0; row < int(std::size(sizes)); ++row) {
        const int size = sizes[row];
        const int offset = (cell - size) / 2;
        for (int column = 0; column <= int(std::size(texts)); ++column) {
            const std::optional<QString> text =
                column < int(std::size(texts)) ? std::optional(texts[column]) : std::nullopt;
            painter.drawImage(column * cell + offset, row * cell + offset,
                              StatusItemIcon::render(text, theme, size));
        }
    }
    return sheet;
}

} // namespace

int main(int argc, char **argv)
{
    // Pictures must not depend on the user's unit preference: use a store of our own.
    QTemporaryDir config;
    qputenv("XDG_CONFIG_HOME", QFile::encodeName(config.path()));
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);

    const QStringList arguments = app.arguments();
    if (arguments.size() != 2) {
        std::fprintf(stderr, "usage: tachora-view-pictures <output folder>\n");
        return 2;
    }
    const QDir folder(arguments.at(1));
    if (!QDir().mkpath(folder.path())) {
        std::fprintf(stderr, "cannot create the output folder\n");
        return 1;
    }
    if (!QFontDatabase::families().contains(QStringLiteral("DejaVu Sans")))
        std::fprintf(stderr, "DejaVu Sans is not installed: pictures use another font\n");
    QApplication::setFont(QFont(QStringLiteral("DejaVu Sans")));

    const GaugePicture gauges[] = {
        {"0", 0, false, ""},
        {"0.02", 0.02, false, "Latence"},
        {"9", 9, false, "Descente"},
        {"99", 99, false, "Descente"},
        {"420", 420, false, "Montée"},
        {"999", 999, false, "Terminé"},
        {"5000", 5000, false, "Terminé"},
        {"800-megabytes", 800, true, "Terminé"},
    };
    const struct
    {
        const char *name;
        QPalette palette;
    } appearances[] = {
        {"light", makePalette(QColor(236, 236, 236), QColor(0, 0, 0))},
        {"dark", makePalette(QColor(40, 40, 40), QColor(255, 255, 255))},
    };

    bool allSaved = true;
    for (const auto &appearance : appearances) {
        QApplication::setPalette(appearance.palette);
        for (const GaugePicture &picture : gauges) {
            SpeedSettings::setUnitMBytes(picture.megabytes);
            GaugeView gauge;
            gauge.resize(300, 200);
            gauge.setMbps(picture.mbps);
            gauge.setCaption(QString::fromUtf8(picture.caption));
            allSaved &= save(gauge, folder.filePath(QStringLiteral("gauge-%1-%2.png")
                                                        .arg(QLatin1String(appearance.name),
                                                             QLatin1String(picture.name))));
        }
        SpeedSettings::setUnitMBytes(false);

        QWidget row;
        auto *layout = new QHBoxLayout(&row);
        layout->setContentsMargins(12, 12, 12, 12);
        layout->setSpacing(12);
        const char *tiles[][2] = {{"Descente", "93,4"}, {"Montée", "12,8"}, {"Ping", "\u00B7"}};
        for (const auto &[title, value] : tiles) {
            auto *tile = new ResultTile(QString::fromUtf8(title));
            tile->setValue(QString::fromUtf8(value));
            layout->addWidget(tile);
        }
        allSaved &= save(
            row,
            folder.filePath(QStringLiteral("tiles-%1.png").arg(QLatin1String(appearance.name))));
    }

    // The light theme's glyph on a dark panel and the dark theme's on a light one are the
    // hard cases: GNOME's panel is dark whatever the theme.
    allSaved &= save(traySheet(QColor(0x24, 0x24, 0x28), appearances[0].palette),
                     folder.filePath(QStringLiteral("tray-sizes-dark.png")));
    allSaved &= save(traySheet(QColor(0xe8, 0xe8, 0xe8), appearances[1].palette),
                     folder.filePath(QStringLiteral("tray-sizes-light.png")));
    return allSaved ? 0 : 1;
}
