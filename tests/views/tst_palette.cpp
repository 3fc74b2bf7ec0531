#include "TestSupport.h"
#include "ViewTestSupport.h"

#include "views/LabelFactory.h"
#include "views/Palette.h"

#include <QLabel>

using namespace ViewTest;

namespace {

const QColor lightMauve = QColor::fromRgbF(0.486f, 0.227f, 0.929f);
const QColor darkMauve = QColor::fromRgbF(0.686f, 0.573f, 0.992f);
const QColor lightGreen = QColor::fromRgbF(0.086f, 0.639f, 0.29f);
const QColor darkGreen = QColor::fromRgbF(0.29f, 0.871f, 0.502f);

QColor textColour(const QLabel *label)
{
    return label->palette().color(QPalette::WindowText);
}

} // namespace

class TestPalette : public QObject
{
    Q_OBJECT

private slots:
    void init() { QApplication::setPalette(lightPalette()); }

    void appearance_data()
    {
        QTest::addColumn<QColor>("window");
        QTest::addColumn<bool>("dark");
        QTest::addRow("light grey") << QColor(236, 236, 236) << false;
        QTest::addRow("pale yellow, high contrast") << QColor(255, 255, 180) << false;
        QTest::addRow("middle grey") << QColor(128, 128, 128) << false;
        QTest::addRow("just below the middle") << QColor(126, 126, 126) << true;
        QTest::addRow("black, high contrast") << QColor(Qt::black) << true;
        QTest::addRow("deep blue") << QColor(10, 20, 90) << true;
    }

    void appearance()
    {
        QFETCH(QColor, window);
        QFETCH(bool, dark);
        QApplication::setPalette(palette(window, dark ? Qt::white : Qt::black));
        // Resolved at the call, for the appearance in effect then.
        QCOMPARE(isDarkAppearance(), dark);
        QCOMPARE(korvelMauve(), dark ? darkMauve : lightMauve);
        QCOMPARE(speedGreen(), dark ? darkGreen : lightGreen);
        QCOMPARE(korvelMauveFixed(), lightMauve);
        QCOMPARE(speedGreenFixed(), QColor::fromRgbF(0.133f, 0.773f, 0.369f));

        const QColor text = QApplication::palette().color(QPalette::WindowText);
        const std::pair<ViewColor, float> strengths[] = {{ViewColor::label, 1.0f},
                                                         {ViewColor::secondaryLabel, 0.55f},
                                                         {ViewColor::tertiaryLabel, 0.30f}};
        for (const auto &[color, alpha] : strengths) {
            const QColor resolved = resolveColor(color, QApplication::palette());
            QCOMPARE(resolved.rgb(), text.rgb());
            QVERIFY(qAbs(resolved.alphaF() - alpha) < 0.01f);
        }
    }

    void labelIsPlainCentredText()
    {
        const QString markup = QStringLiteral("<b>x</b><br>y");
        std::unique_ptr<QLabel> label(makeLabel(markup, 16, QFont::DemiBold, Qt::red));
        std::unique_ptr<QLabel> plain(makeLabel(QStringLiteral("x"), 16, QFont::DemiBold, Qt::red));
        // As markup it would be a bold "x" over a "y"; as text it is one long line.
        QCOMPARE(label->text(), markup);
        QVERIFY(label->sizeHint().width() > 5 * plain->sizeHint().width());
        QCOMPARE(label->sizeHint().height(), plain->sizeHint().height());
        QCOMPARE(label->font().pixelSize(), 16);
        QCOMPARE(label->font().weight(), QFont::DemiBold);
        QVERIFY(label->alignment() & Qt::AlignHCenter);
        QCOMPARE(textColour(label.get()), QColor(Qt::red));
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
        QCOMPARE(textColour(secondary).rgb(), QColor(Qt::black).rgb());
        QVERIFY(qAbs(textColour(secondary).alphaF() - 0.55f) < 0.01f);
        QCOMPARE(textColour(mauve), lightMauve);

        QApplication::setPalette(darkPalette());
        QTRY_COMPARE_WITH_TIMEOUT(textColour(secondary).rgb(), QColor(Qt::white).rgb(), 5000);
        QVERIFY(qAbs(textColour(secondary).alphaF() - 0.55f) < 0.01f);
        QCOMPARE(textColour(mauve), darkMauve);
        QCOMPARE(textColour(fixed), lightMauve);
        // Only the text colour is the label's own: the rest still follows the parent.
        QCOMPARE(secondary->palette().color(QPalette::Window),
                 darkPalette().color(QPalette::Window));

        parent.setPalette(lightPalette());
        QTRY_COMPARE_WITH_TIMEOUT(textColour(secondary).rgb(), QColor(Qt::black).rgb(), 5000);
        QCOMPARE(textColour(mauve), lightMauve);
    }
};

TACHORA_TEST_WIDGETS_MAIN(TestPalette)
#include "tst_palette.moc"
