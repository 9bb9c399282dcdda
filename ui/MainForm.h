#pragma once
// The main window's form: the window's name and caption, its two menu entries and the controls
// built from the layout table below, its background, the resize rule, and the outer frame's
// position and size in twips as the settings file keeps them.
#include "config/Settings.h"
#include "config/Twips.h"

#include <QColor>
#include <QSize>
#include <QTimer>
#include <array>
#include <optional>

class QAction;
class QLineEdit;
class QListView;
class QMainWindow;
class QPlainTextEdit;
class QWidget;

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

inline QColor toColour(Rgb c) {
    return QColor(c.r, c.g, c.b);
}

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

// The controls the window fills in, by role; each widget is also found by its object name.
struct MainControls {
    QAction* configure = nullptr; // "configure"
    QAction* kick = nullptr;      // "kick"
    QWidget* client = nullptr;    // "client", the central widget the controls stand on
    // The header boxes of the last frame received.
    QLineEdit* port = nullptr;
    QLineEdit* dataKind = nullptr;
    QLineEdit* pid = nullptr;
    QLineEdit* callFrom = nullptr;
    QLineEdit* callTo = nullptr;
    QLineEdit* dataLen = nullptr;
    // The link's bytes sent and waiting, and the total.
    QLineEdit* bytesSent = nullptr;
    QLineEdit* bytesWaiting = nullptr;
    QLineEdit* bytesCount = nullptr;
    QPlainTextEdit* statusText = nullptr;
    QListView* traffic = nullptr;
    QListView* routes = nullptr;
    QListView* connectedCalls = nullptr;
    QListView* sentToRadio = nullptr;
};

class MainForm {
public:
    // Builds the form on window, at the built-in size.
    explicit MainForm(QMainWindow& window);
    MainForm(const MainForm&) = delete;
    MainForm& operator=(const MainForm&) = delete;

    const MainControls& controls() const { return m_c; }

    QColor backgroundColour() const;
    void setBackground(const QColor& c);

    // The resize rule on the window's current outer frame. Silent; nothing while minimised.
    void applyResizeRule();

    // The outer frame in twips. Until the window manager has shown its frame, a size asked for is
    // remembered and applied again once the frame is known, so that a saved size does not grow by
    // the frame at every start. setGeometry throws Failure for a value the toolkit cannot take
    // (framePixels).
    double geometry(WindowFrame::Field f) const;
    void setGeometry(WindowFrame::Field f, double twips);

    // What the window does on its show, move and resize events.
    void shown();
    void moved();
    void resized();

private:
    void buildControls();
    QSize frameExtra() const;
    void applyPendingOuterSize();
    // Moves the window onto the nearest screen when it lies outside every screen.
    void keepOnScreen();

    QMainWindow& m_window;
    MainControls m_c;

    // The outer size asked for while the window manager's frame was not known yet.
    std::optional<QSize> m_pendingOuter;
    QSize m_knownFrameExtra{0, 0};
    QTimer m_frameWatch;
    int m_frameWatchTicks = 0;
};
