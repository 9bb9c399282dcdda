#pragma once
// The main window: the owner that wires its form (MainForm: the controls, the resize rule, the
// geometry in twips), its monitor views (MonitorViews), the menu entries, start-up and the close
// handshake. Everything that runs lives in the run the window owns (GatewayRun: the gateway on the
// relay thread); the window only shows what the gateway reports through the Monitor interface,
// coalesced so that a busy link costs the window a few plain assignments per frame.
#include "agwlink/AgwFrame.h"
#include "net/Platform.h"
#include "net/Socket.h"
#include "relay/Gateway.h"
#include "relay/MonitorFeed.h"
#include "relay/Startup.h"
#include "service/GatewayRun.h"
#include "ui/MainForm.h"
#include "ui/MonitorViews.h"

#include <QColor>
#include <QMainWindow>
#include <QPointer>
#include <QString>
#include <QTimer>
#include <functional>
#include <memory>
#include <optional>

class QAction;
class QCloseEvent;
class QMessageBox;
class ErrorLog;
class SettingsDialog;
struct Settings;

class MainWindow : public QMainWindow {
    Q_OBJECT
public:
    // Close reasons of queryClose: 0 the user closed the window; the others come from the
    // program, the desktop session ending or a service manager (a termination signal).
    enum CloseReason { ByUser = 0, ByCode = 1, BySession = 2, ByTaskManager = 3 };

    // The status text shows at most this many characters, the newest.
    static constexpr qsizetype kStatusMax = MonitorFeed::kStatusChars;
    // Monitor changes reach the widgets this long after the first of them.
    static constexpr int kFlushMs = 200;

    // settings: the run's settings, read from and saved to pktgate.cfg in directory; log: the
    // run's error log. The factories make the gateway's sockets on the relay thread (real TCP
    // sockets by default).
    MainWindow(Settings& settings, ErrorLog& log, const QString& directory,
               const Timing& timing = {}, SocketFactory agwSockets = {},
               SocketFactory nodeSockets = {}, QWidget* parent = nullptr);
    ~MainWindow() override;

    // The run, with the command line's options still to apply.
    GatewayRun& run() { return m_run; }
    // Its controls may be used from the window's thread, its parts only through onOwnThread.
    Gateway& gateway() { return m_run.gateway(); }

    // The start-up sequence.
    void start();
    // The resize rule on the window's current outer frame. Silent; nothing while minimised.
    void applyResizeRule();
    // Asked before the window closes; cancel keeps it open.
    void queryClose(bool& cancel, int reason);
    // The window is closing for good.
    void unload();
    void showSettingsDialog();
    void kick();

    // Closes the window with a close reason other than the user's (no question, no save).
    void closeWithReason(int reason);

    // The close question; answers true for Yes. Replaceable so that tests answer it.
    std::function<bool()> askToEnd;

    // Shows pending monitor changes now (otherwise they show kFlushMs after the first change).
    void flushMonitor();

    // The settings dialog while it is open.
    SettingsDialog* settingsDialog() const;
    QAction* configureAction() const { return m_form.controls().configure; }
    QAction* kickAction() const { return m_form.controls().kick; }
    QColor backgroundColour() const;

    // What the relay reports is recorded here; the window looks kFlushMs after a report.
    MonitorFeed& monitor() { return m_feed; }

    // The outer frame in twips, as pktgate.cfg holds it (MainForm). The widget's own geometry()
    // and setGeometry() stay usable.
    using QMainWindow::geometry;
    using QMainWindow::setGeometry;
    double geometry(WindowFrame::Field f) const;
    void setGeometry(WindowFrame::Field f, double twips);
    bool isMinimised() const;
    // The frame a save writes; none while the window is minimised, when nothing is saved.
    std::optional<WindowFrame> frameToSave() const;

protected:
    void closeEvent(QCloseEvent* e) override;
    void resizeEvent(QResizeEvent* e) override;
    void showEvent(QShowEvent* e) override;
    void moveEvent(QMoveEvent* e) override;

private:
    void scheduleFlush() {
        if (!m_flushTimer.isActive()) m_flushTimer.start();
    }
    bool defaultAskToEnd();

    MainForm m_form;
    MonitorViews m_views;

    // Monitor changes are shown kFlushMs after the first of them.
    MonitorFeed m_feed;
    QTimer m_flushTimer;

    // The close handshake.
    std::optional<int> m_closeReason;
    bool m_asking = false;
    bool m_unloaded = false;
    std::optional<int> m_closeWhileAsking;
    QPointer<QMessageBox> m_question;
    QPointer<SettingsDialog> m_config;

    Settings& m_settings;
    ErrorLog& m_log;

    // Declared last: goes first, before the widgets and the feed its notifications reach.
    GatewayRun m_run;
};
