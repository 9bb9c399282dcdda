#pragma once
// The main window: the monitor displays, the menu bar with "Configure" and "Kick", start-up and
// shutdown. Everything that runs lives in the Gateway the window owns; the window only shows what
// the gateway reports through the Monitor interface, coalesced so that a busy link costs the
// window a few plain assignments per frame.
#include "agwlink/AgwFrame.h"
#include "config/Twips.h"
#include "net/Platform.h"
#include "net/Socket.h"
#include "relay/Gateway.h"
#include "relay/MonitorFeed.h"
#include "relay/Startup.h"

#include <QColor>
#include <QMainWindow>
#include <QPointer>
#include <QSize>
#include <QString>
#include <QTimer>
#include <array>
#include <functional>
#include <memory>
#include <optional>

class QAction;
class QCloseEvent;
class QLabel;
class QLineEdit;
class QListView;
class QMessageBox;
class QPlainTextEdit;
class ErrorLog;
class RelayThread;
class SettingsDialog;
struct Settings;

// The window's built-in look: positions and sizes in twips from the top-left corner of the client
// area (15 twips are one pixel at 96 dpi).
namespace agwlayout {

using twips::kTwipsPerPixel;
using twips::px;

inline constexpr const char* kCaption = "AGW - Tarn Cluster";
inline constexpr int kClientWidth = 13185;
inline constexpr int kClientHeight = 9315;

enum class Kind { Label, TextBox, MultiLine, List };
enum class Colour { Default, LightGreen, LightCyan };

struct Rgb {
    int r, g, b;
};
inline constexpr Rgb kLightYellow{255, 255, 192}; // the window until the link changes it
inline constexpr Rgb kYellow{255, 255, 0};        // the window after a link error
inline constexpr Rgb kLightGreen{192, 255, 192};
inline constexpr Rgb kLightCyan{192, 255, 255};

struct Control {
    const char* name;
    Kind kind;
    int left, top, width, height;
    const char* text; // caption or built-in text ("" for none)
    Colour colour;
    bool centred;
    const char* toolTip; // "" for none
    bool arial;          // Arial 10.5 point
};

// clang-format off
inline constexpr std::array<Control, 21> kControls = {{
    {"Label1", Kind::Label, 120, 120, 285, 195, "Port", Colour::Default, false, "", false},
    {"Label2", Kind::Label, 600, 120, 315, 195, "Kind", Colour::Default, false, "", false},
    {"Label3", Kind::Label, 1080, 120, 270, 195, "PID", Colour::Default, false, "", false},
    {"Label4", Kind::Label, 1920, 120, 345, 195, "From", Colour::Default, false, "", false},
    {"Label5", Kind::Label, 3120, 120, 195, 195, "To", Colour::Default, false, "", false},
    {"Label6", Kind::Label, 3840, 120, 735, 195, "DataLen", Colour::Default, false, "", false},
    {"Port", Kind::TextBox, 120, 360, 375, 285, "", Colour::LightGreen, true, "", false},
    {"DataKind", Kind::TextBox, 480, 360, 495, 285, "", Colour::LightGreen, true, "", false},
    {"Pid", Kind::TextBox, 960, 360, 495, 285, "", Colour::LightGreen, true, "", false},
    {"CallFrom", Kind::TextBox, 1440, 360, 1215, 285, "From", Colour::LightGreen, true, "", false},
    {"CallTo", Kind::TextBox, 2640, 360, 1215, 285, "To", Colour::LightGreen, true, "", false},
    {"DataLen", Kind::TextBox, 3840, 360, 735, 285, "", Colour::LightGreen, true, "", false},
    {"txtSent", Kind::TextBox, 120, 660, 1335, 285, "Sent", Colour::LightGreen, true,
     "Bytes sent to AGW or BPQ", false},
    {"txtRemaining", Kind::TextBox, 1440, 660, 1215, 285, "Remaining", Colour::LightGreen, true,
     "Bytes waiting to be sent to AGW or BPQ interface", false},
    {"Text1", Kind::MultiLine, 120, 960, 4455, 615, "", Colour::LightCyan, false, "", false},
    {"List1", Kind::List, 120, 1680, 8415, 2460, "", Colour::LightCyan, false, "", true},
    {"List2", Kind::List, 4680, 0, 2175, 1620, "", Colour::LightCyan, false, "", false},
    {"List3", Kind::List, 6960, 0, 1575, 1620, "", Colour::LightCyan, false, "Connected Calls",
     false},
    {"List4", Kind::List, 8640, 0, 8415, 2460, "", Colour::LightCyan, false, "", true},
    {"BytesCount", Kind::TextBox, 0, 4320, 1455, 285, "Total bytes", Colour::Default, false, "",
     false},
    {"Traffic", Kind::TextBox, 0, 4680, 1455, 285, "Traffic", Colour::Default, false, "", false},
}};
// clang-format on

// The sizes the resize rule gives the traffic list and the sent-to-radio list for a window of this
// outer height and width (twips), step by step: a step whose result is negative ends the rule
// there.
struct ResizeResult {
    int steps = 0; // steps applied, 0..3
    double trafficHeight = 0;
    double sentHeight = 0;
    double sentWidth = 0;
};
ResizeResult resizeRule(double outerHeight, double outerWidth, double sentLeft);

} // namespace agwlayout

namespace agwmonitor {
class RowsModel;
class CallsModel;
} // namespace agwmonitor

class MainWindow : public QMainWindow, public WindowHost {
    Q_OBJECT
public:
    // Close reasons of queryClose: 0 the user closed the window; the others come from the
    // program, the desktop session ending or a service manager (a termination signal).
    enum CloseReason { ByUser = 0, ByCode = 1, BySession = 2, ByTaskManager = 3 };

    // The status text shows at most this many characters, the newest.
    static constexpr qsizetype kStatusMax = MonitorFeed::kStatusChars;
    // Monitor changes reach the widgets this long after the first of them.
    static constexpr int kFlushMs = 200;

    // Where the relay runs: on the window's thread, or on a thread of its own (RelayThread).
    enum class Relay { SameThread, OwnThread };

    // settings: the run's settings, read from and saved to pktgate.cfg in directory; log: the
    // run's error log. The factories make the gateway's sockets (real TCP sockets by default).
    MainWindow(Settings& settings, ErrorLog& log, const QString& directory,
               const Timing& timing = {}, SocketFactory agwSockets = {},
               SocketFactory nodeSockets = {}, Relay relay = Relay::SameThread,
               QWidget* parent = nullptr);
    ~MainWindow() override;

    // The gateway: its controls may be used from the window's thread; its parts only when the
    // relay runs on the window's thread.
    Gateway& gateway() { return *m_gateway; }

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
    QAction* configureAction() const { return m_configure; }
    QAction* kickAction() const { return m_kick; }
    QColor backgroundColour() const;

    // What the relay shows goes through here; the window looks kFlushMs after a change.
    MonitorFeed& monitor() { return m_feed; }

    // WindowHost. The widget's own geometry() and setGeometry() stay usable.
    using QMainWindow::geometry;
    using QMainWindow::setGeometry;
    QString title() const override;
    void setTitle(const QString& title) override;
    void setBytesCount(const QString& text) override;
    double geometry(Field f) const override;
    void setGeometry(Field f, double twips) override;
    bool isMinimised() const override;

protected:
    void closeEvent(QCloseEvent* e) override;
    void resizeEvent(QResizeEvent* e) override;
    void showEvent(QShowEvent* e) override;
    void moveEvent(QMoveEvent* e) override;

private:
    void buildControls();
    void scheduleFlush() {
        if (!m_flushTimer.isActive()) m_flushTimer.start();
    }
    void apply(const MonitorUpdate& u);
    void setBackground(const QColor& c);
    bool defaultAskToEnd();
    QSize frameExtra() const;
    void applyPendingOuterSize();
    // Moves the window onto the nearest screen when it lies outside every screen.
    void keepOnScreen();

    QWidget* m_client = nullptr;
    QAction* m_configure = nullptr;
    QAction* m_kick = nullptr;
    QLineEdit* m_port = nullptr;
    QLineEdit* m_dataKind = nullptr;
    QLineEdit* m_pid = nullptr;
    QLineEdit* m_callFrom = nullptr;
    QLineEdit* m_callTo = nullptr;
    QLineEdit* m_dataLen = nullptr;
    QLineEdit* m_bytesSent = nullptr;
    QLineEdit* m_bytesWaiting = nullptr;
    QLineEdit* m_bytesCount = nullptr;
    QPlainTextEdit* m_statusText = nullptr;
    QListView* m_traffic = nullptr;
    QListView* m_routes = nullptr;
    QListView* m_connectedCalls = nullptr;
    QListView* m_sentToRadio = nullptr;
    agwmonitor::RowsModel* m_trafficRows = nullptr;
    agwmonitor::RowsModel* m_routeRows = nullptr;
    agwmonitor::CallsModel* m_callRows = nullptr;
    agwmonitor::RowsModel* m_sentRows = nullptr;

    // Monitor changes are shown kFlushMs after the first of them.
    MonitorFeed m_feed;
    QTimer m_flushTimer;

    // The outer size asked for while the window manager's frame was not known yet; applied
    // again once it is, so that a saved size does not grow by the frame at every start.
    std::optional<QSize> m_pendingOuter;
    QSize m_knownFrameExtra{0, 0};
    QTimer m_frameWatch;
    int m_frameWatchTicks = 0;

    std::optional<int> m_closeReason;
    bool m_asking = false;
    bool m_unloaded = false;
    std::optional<int> m_closeWhileAsking;
    QPointer<QMessageBox> m_question;
    QPointer<SettingsDialog> m_config;

    Settings& m_settings;
    ErrorLog& m_log;
    const QString m_settingsPath;

    // Declared last: goes first, before the widgets its notifications reach.
    std::unique_ptr<Gateway> m_ownGateway;
    std::unique_ptr<RelayThread> m_relayThread;
    Gateway* m_gateway = nullptr;
};
