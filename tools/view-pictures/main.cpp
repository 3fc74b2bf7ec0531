// Writes PNG pictures of the gauge at a few rates and of the three result tiles, in a light
// and a dark palette, to the folder given on the command line.

#include "settings/SpeedSettings.h"
#include "views/GaugeView.h"
#include "views/ResultTile.h"

#include <QApplication>
#include <QDir>
#include <QFontDatabase>
#include <QHBoxLayout>
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

bool save(QWidget &widget, const QString &path)
{
    const bool saved = widget.grab().save(path);
    QTextStream(saved ? stdout : stderr)
        << (saved ? "wrote " : "could not write ") << path << Qt::endl;
    return saved;
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
    return allSaved ? 0 : 1;
}
