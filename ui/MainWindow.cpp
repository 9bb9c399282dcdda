#include "ui/MainWindow.h"

#include "config/ConfigFile.h"
#include "config/ErrorLog.h"
#include "net/Platform.h"
#include "ui/SettingsDialog.h"

#include <QAction>
#include <QApplication>
#include <QCloseEvent>
#include <QLineEdit>
#include <QMessageBox>
#include <QThread>
#include <utility>

MainWindow::MainWindow(Settings& settings, ErrorLog& log, const QString& directory,
                       const Timing& timing, SocketFactory agwSockets, SocketFactory nodeSockets,
                       QWidget* parent)
    : QMainWindow(parent), m_form(*this), m_views(m_form, this), m_feed([this] {
          // The first change after a look: the window looks again kFlushMs from now.
          if (QThread::currentThread() == thread())
              scheduleFlush();
          else
              QMetaObject::invokeMethod(
                  this, [this] { scheduleFlush(); }, Qt::QueuedConnection);
      }),
      m_settings(settings), m_log(log), m_run(settings, log, m_feed, directory, timing,
                                              std::move(agwSockets), std::move(nodeSockets)) {
    connect(configureAction(), &QAction::triggered, this, &MainWindow::showSettingsDialog);
    connect(kickAction(), &QAction::triggered, this, &MainWindow::kick);

    m_flushTimer.setSingleShot(true);
    m_flushTimer.setInterval(kFlushMs);
    connect(&m_flushTimer, &QTimer::timeout, this, &MainWindow::flushMonitor);

    askToEnd = [this] { return defaultAskToEnd(); };
}

MainWindow::~MainWindow() = default;

SettingsDialog* MainWindow::settingsDialog() const {
    return m_config.data();
}

QColor MainWindow::backgroundColour() const {
    return m_form.backgroundColour();
}

// ---------------------------------------------------------------- start-up, menu, shutdown

void MainWindow::start() {
    const StartedUp shown = m_run.start(windowTakes);
    // The frame the file gave, every value one the window takes.
    for (int f = WindowFrame::Top; f <= WindowFrame::Width; ++f)
        if (const std::optional<double> twips = shown.frame.twips[size_t(f)])
            setGeometry(static_cast<WindowFrame::Field>(f), *twips);
    if (shown.titleSuffix) setWindowTitle(windowTitle() + *shown.titleSuffix);
    if (shown.linkOpened) m_form.controls().bytesCount->setText(QStringLiteral("0"));
}

void MainWindow::kick() {
    gateway().kick();
}

void MainWindow::showSettingsDialog() {
    // A dialog closed a moment ago may still wait for its deletion: a new one is loaded then.
    if (!m_config || !m_config->isVisible()) {
        m_config = new SettingsDialog(
            m_settings, m_run.settingsPath(), m_log, [this] { return frameToSave(); }, this);
        // What Save took reaches the relay, which reads the settings where it needs them.
        connect(m_config, &SettingsDialog::settingsTaken, this,
                [this] { gateway().reconfigure(m_settings); });
    }
    m_config->show();
    m_config->raise();
    m_config->activateWindow();
}

bool MainWindow::defaultAskToEnd() {
    QMessageBox box(QMessageBox::Question, QStringLiteral("Tarn Cluster"),
                    QStringLiteral("Do you really want to end program? "),
                    QMessageBox::Yes | QMessageBox::No, this);
    box.setDefaultButton(QMessageBox::No);
    m_question = &box;
    const int answer = box.exec();
    m_question = nullptr;
    return answer == QMessageBox::Yes;
}

void MainWindow::queryClose(bool& cancel, int reason) {
    if (reason == ByUser) {
        // Saved before the question, so settings and geometry are kept even if the user stays.
        saveSettingsFile(m_run.settingsPath(), m_settings, frameToSave(), m_log);
        m_asking = true;
        const bool yes = askToEnd();
        m_asking = false;
        if (m_closeWhileAsking) {
            // The session or a signal ended the program while the question was shown: that
            // close goes ahead as soon as this one has returned, with its own reason.
            const int reason = *m_closeWhileAsking;
            m_closeWhileAsking.reset();
            cancel = true;
            QMetaObject::invokeMethod(
                this, [this, reason] { closeWithReason(reason); }, Qt::QueuedConnection);
            return;
        }
        if (!yes) {
            cancel = true;
            return;
        }
    }
    if (m_config) m_config->close();
    // The run's last line: whatever the relay does while it is torn down goes unlogged.
    m_log.writeLast(QStringLiteral("Program terminated"), dateTimeText(m_log.clock().now()));
}

void MainWindow::unload() {
    gateway().shutdown();
    // Every other window of the program that is still open.
    const QWidgetList windows = QApplication::topLevelWidgets();
    for (QWidget* w : windows) {
        if (w != this && w->isVisible()) w->close();
    }
}

void MainWindow::closeWithReason(int reason) {
    if (m_asking) {
        m_closeWhileAsking = reason;
        if (m_question) m_question->done(QMessageBox::No);
        return;
    }
    m_closeReason = reason;
    close();
    m_closeReason.reset();
}

void MainWindow::closeEvent(QCloseEvent* e) {
    // Once unloaded, a late close request (a signal on the way out) finds nothing to do.
    if (m_unloaded) {
        e->accept();
        return;
    }
    // The close box and the window menu arrive from the window system; close() in code does not.
    const int reason = m_closeReason.value_or(e->spontaneous() ? ByUser : ByCode);
    m_closeReason.reset();
    bool cancel = false;
    queryClose(cancel, reason);
    if (cancel) {
        e->ignore();
        return;
    }
    e->accept();
    m_unloaded = true;
    flushMonitor();
    unload();
}

// ---------------------------------------------------------------- the form's geometry

void MainWindow::applyResizeRule() {
    m_form.applyResizeRule();
}

void MainWindow::resizeEvent(QResizeEvent* e) {
    QMainWindow::resizeEvent(e);
    m_form.resized();
}

void MainWindow::showEvent(QShowEvent* e) {
    QMainWindow::showEvent(e);
    m_form.shown();
}

void MainWindow::moveEvent(QMoveEvent* e) {
    QMainWindow::moveEvent(e);
    m_form.moved();
}

double MainWindow::geometry(WindowFrame::Field f) const {
    return m_form.geometry(f);
}

void MainWindow::setGeometry(WindowFrame::Field f, double twips) {
    m_form.setGeometry(f, twips);
}

bool MainWindow::isMinimised() const {
    return isMinimized();
}

std::optional<WindowFrame> MainWindow::frameToSave() const {
    if (isMinimised()) return std::nullopt;
    WindowFrame frame;
    for (int f = WindowFrame::Top; f <= WindowFrame::Width; ++f)
        frame.twips[size_t(f)] = geometry(static_cast<WindowFrame::Field>(f));
    return frame;
}

// ---------------------------------------------------------------- the relay's displays

void MainWindow::flushMonitor() {
    m_flushTimer.stop();
    m_views.apply(m_feed.take());
}
