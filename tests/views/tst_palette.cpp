#include "TestSupport.h"
#include "ViewTestSupport.h"

#include "views/LabelFactory.h"
#include "views/Palette.h"

#include <QLabel>

using namespace ViewTest;

namespace {

QColor srgb(float red, float green, float blue)
{
    return QColor::fromRgbF(red, green, blue);
}

const QColor lightMauve = srgb(0.486f, 0.227f, 0.929f);
const QColor darkMauve = srgb(0.686f, 0.573f, 0.992f);
const QColor lightGreen = srgb(0.086f, 0.639f, 0.29f);
const QColor darkGreen = srgb(0.29f, 0.871f, 0.502f);

} // namespace

class TestPalette : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        QVERIFY2(useDejaVuSans(), "the view tests render with DejaVu Sans (fonts-dejavu-core)");
    }

    void init() { QApplication::setPalette(lightPalette()); }

    void appearance_data()
    {
        QTest::addColumn<QColor>("window");
        QTest::addColumn<bool>("dark");
        QTest::addRow("white") << QColor(Qt::white) << false;
        QTest::addRow("light grey") << QColor(236, 236, 236) << false;
        QTest::addRow("pale yellow, high contrast") << QColor(255, 255, 180) << false;
        QTest::addRow("middle grey") << QColor(128, 128, 128) << false;
        QTest::addRow("just below the middle") << QColor(126, 126, 126) << true;
        QTest::addRow("dark grey") << QColor(40, 40, 40) << true;
        QTest::addRow("black, high contrast") << QColor(Qt::black) << true;
        QTest::addRow("deep blue") << QColor(10, 20, 90) << true;
    }

    void appearance()
    {
        QFETCH(QColor, window);
        QFETCH(bool, dark);
        const QPalette palette = ViewTest::palette(window, dark ? Qt::white : Qt::black);
        QCOMPARE(isDarkAppearance(palette), dark);
        QApplication::setPalette(palette);
        QCOMPARE(isDarkAppearance(), dark);
        // Resolved when asked: the value for the appearance in effect at the call.
        QCOMPARE(korvelMauve(), dark ? darkMauve : lightMauve);
        QCOMPARE(speedGreen(), dark ? darkGreen : lightGreen);
        QCOMPARE(resolveColor(ViewColor::korvelMauve, palette), dark ? darkMauve : lightMauve);
        QCOMPARE(resolveColor(ViewColor::speedGreen, palette), dark ? darkGreen : lightGreen);
        // The fixed shades never change.
        QCOMPARE(korvelMauveFixed(), lightMauve);
        QCOMPARE(speedGreenFixed(), srgb(0.133f, 0.773f, 0.369f));
    }

    void fixedGreenIsItsOwnShade()
    {
        QVERIFY(speedGreenFixed() != lightGreen);
        QVERIFY(speedGreenFixed() != darkGreen);
        QCOMPARE(speedGreenFixed().alphaF(), 1.0f);
    }

    void labelColours_data()
    {
        QTest::addColumn<QPalette>("palette");
        QTest::addRow("light") << lightPalette();
        QTest::addRow("dark") << darkPalette();
    }

    void labelColours()
    {
        QFETCH(QPalette, palette);
        const QColor text = palette.color(QPalette::WindowText);
        const struct
        {
            ViewColor color;
            float alpha;
        } strengths[] = {{ViewColor::label, 1.0f},
                         {ViewColor::secondaryLabel, 0.55f},
                         {ViewColor::tertiaryLabel, 0.30f}};
        for (const auto &[color, alpha] : strengths) {
            const QColor resolved = resolveColor(color, palette);
            QCOMPARE(resolved.rgb(), text.rgb());
            QVERIFY(qAbs(resolved.alphaF() - alpha) < 0.01f);
        }
    }

    void labelShowsPlainText()
    {
        const QString markup = QStringLiteral("<b>x</b><br>y");
        std::unique_ptr<QLabel> label(makeLabel(markup, 11, QFont::Medium, ViewColor::label));
        std::unique_ptr<QLabel> plain(
            makeLabel(QStringLiteral("x"), 11, QFont::Medium, ViewColor::label));
        QCOMPARE(label->text(), markup);
        QCOMPARE(label->textFormat(), Qt::PlainText);
        // As markup it would be one bold "x" over a "y"; as text it is one long line.
        QVERIFY(label->sizeHint().width() > 5 * plain->sizeHint().width());
        QCOMPARE(label->sizeHint().height(), plain->sizeHint().height());
    }

    void labelFontAndAlignment_data()
    {
        QTest::addColumn<qreal>("size");
        QTest::addColumn<QFont::Weight>("weight");
        QTest::addRow("regular 11") << 11.0 << QFont::Normal;
        QTest::addRow("medium 11") << 11.0 << QFont::Medium;
        QTest::addRow("semibold 16") << 16.0 << QFont::DemiBold;
        QTest::addRow("bold 30") << 30.0 << QFont::Bold;
    }

    void labelFontAndAlignment()
    {
        QFETCH(qreal, size);
        QFETCH(QFont::Weight, weight);
        std::unique_ptr<QLabel> label(makeLabel(QStringLiteral("Ping"), size, weight, Qt::red));
        QCOMPARE(label->font().pixelSize(), qRound(size));
        QCOMPARE(label->font().weight(), weight);
        QCOMPARE(label->font().family(), QApplication::font().family());
        QVERIFY(label->alignment() & Qt::AlignHCenter);
        QCOMPARE(label->textInteractionFlags(), Qt::NoTextInteraction);
        QCOMPARE(label->palette().color(QPalette::WindowText), QColor(Qt::red));
    }

    void labelColourFollowsThePalette()
    {
        QWidget parent;
        QLabel *secondary =
            makeLabel(QStringLiteral("Montée"), 11, QFont::Medium, ViewColor::secondaryLabel);
        QLabel *mauve =
            makeLabel(QStringLiteral("Réglages"), 11, QFont::Medium, ViewColor::korvelMauve);
        QLabel *fixed = makeLabel(QStringLiteral("Fixe"), 11, QFont::Medium, korvelMauveFixed());
        for (QLabel *label : {secondary, mauve, fixed})
            label->setParent(&parent);

        auto textColour = [](QLabel *label) {
            return label->palette().color(QPalette::WindowText);
        };
        QCOMPARE(textColour(secondary).rgb(), QColor(Qt::black).rgb());
        QVERIFY(qAbs(textColour(secondary).alphaF() - 0.55f) < 0.01f);
        QCOMPARE(textColour(mauve), lightMauve);

        // The appearance changes while the labels are shown: they take the new colours.
        QApplication::setPalette(darkPalette());
        QTRY_COMPARE_WITH_TIMEOUT(textColour(secondary).rgb(), QColor(Qt::white).rgb(), 5000);
        QVERIFY(qAbs(textColour(secondary).alphaF() - 0.55f) < 0.01f);
        QCOMPARE(textColour(mauve), darkMauve);
        QCOMPARE(textColour(fixed), lightMauve);
        // Other roles keep following the parent.
        QCOMPARE(secondary->palette().color(QPalette::Window),
                 darkPalette().color(QPalette::Window));

        // So does a parent given a palette of its own.
        parent.setPalette(lightPalette());
        QTRY_COMPARE_WITH_TIMEOUT(textColour(secondary).rgb(), QColor(Qt::black).rgb(), 5000);
        QCOMPARE(textColour(mauve), lightMauve);
    }
};

TACHORA_TEST_WIDGETS_MAIN(TestPalette)
#include "tst_palette.moc"
