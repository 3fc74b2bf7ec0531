#include "MainWindow.h"

#include "AppIcon.h"

#include <QGuiApplication>
#include <QLoggingCategory>
#include <QScreen>
#include <QStackedWidget>
#include <QVBoxLayout>

// The benchmark turns this on to time the first frame: QT_LOGGING_RULES="tachora.launch=true".
Q_LOGGING_CATEGORY(lcLaunch, "tachora.launch", QtWarningMsg)

MainWindow::MainWindow(QWidget *mainView, QWidget *settingsView)
    : QWidget(nullptr, Qt::Window | Qt::WindowTitleHint | Qt::WindowSystemMenuHint
                           | Qt::WindowMinimizeButtonHint | Qt::WindowCloseButtonHint)
    , m_stack(new QStackedWidget(this))
    , m_mainView(mainView)
    , m_settingsView(settingsView)
{
    setObjectName(QStringLiteral("mainWindow"));
    setWindowTitle(QStringLiteral("Tachora"));
    setWindowIcon(AppIcon::application());
    setFixedSize(contentSize);

    m_stack->setObjectName(QStringLiteral("viewStack"));
    m_stack->addWidget(m_mainView);
    m_stack->addWidget(m_settingsView);
    m_stack->setCurrentWidget(m_mainView);
    auto *layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addWidget(m_stack);

    // Where the window manager lets us choose; Wayland compositors place windows themselves.
    if (const QScreen *screen = QGuiApplication::primaryScreen())
        move(screen->availableGeometry().center() - rect().center());
}

bool MainWindow::showsSettings() const
{
    return m_stack->currentWidget() == m_settingsView;
}

void MainWindow::showMainView()
{
    m_stack->setCurrentWidget(m_mainView);
}

void MainWindow::showSettingsView()
{
    m_stack->setCurrentWidget(m_settingsView);
}

void MainWindow::bringToFront()
{
    setWindowState(windowState() & ~Qt::WindowMinimized);
    show();
    raise();
    activateWindow();
}

void MainWindow::paintEvent(QPaintEvent *event)
{
    QWidget::paintEvent(event);
    if (!m_painted) {
        m_painted = true;
        qCInfo(lcLaunch, "first frame");
    }
}
