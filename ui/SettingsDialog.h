#pragma once
// The settings dialog "AGW to Tarn Cluster": seven fields copied from the settings when the dialog
// is loaded and back on Save, which also writes pktgate.cfg; Save refuses a callsign that cannot be
// registered and says so in the dialog. Modeless; it exists only while it is open, and Exit closes
// it (Escape does not, so typed edits are not lost by a stray key).
#include "config/Settings.h"
#include "config/Twips.h"

#include <QDesktopServices>
#include <QDialog>
#include <QPoint>
#include <QUrl>
#include <array>
#include <functional>
#include <optional>

class QGroupBox;
class QKeyEvent;
class QLabel;
class QLineEdit;
class QPushButton;
class ErrorLog;
struct Settings;

// The key filter of every field: a lower-case letter a..z becomes upper case, every other key
// code passes unchanged.
qint16 upperCaseKey(qint16 key);

// The dialog's built-in layout, in twips (15 twips are one pixel at 96 dpi).
namespace settingslayout {

using twips::kTwipsPerPixel;
using twips::px;

inline constexpr const char* kCaption = "AGW to Tarn Cluster";
inline constexpr int kClientWidth = 3390;
inline constexpr int kClientHeight = 8070;

struct Frame {
    const char* name;
    const char* caption;
    int left, top, width, height;
};
inline constexpr std::array<Frame, 3> kFrames = {{
    {"Frame1", "AGWPE", 360, 240, 2655, 1935},
    {"Frame2", "Winsock RF ", 360, 2400, 2655, 3615},
    {"Frame3", "", 360, 6240, 2655, 975},
}};

// Fields are 1935 x 330 at left 360 inside their frame; each caption stands 240 above its field.
inline constexpr int kFieldLeft = 360;
inline constexpr int kFieldWidth = 1935;
inline constexpr int kFieldHeight = 330;
inline constexpr int kLabelAbove = 240;

// The fields, numbered as their object names ("txtCfg0".."txtCfg6") number them.
enum FieldId {
    AgwIp = 0,
    AgwPort = 1,
    ClusterPort = 2,
    ClusterIp = 3,
    ClusterCall = 4,
    PacketLength = 5,
    KeepAlive = 6
};

struct Field {
    FieldId id;
    int frame;      // index into kFrames
    int top;        // inside the frame
    int labelIndex; // the number in the caption's object name, "lblAGW<n>"
    const char* caption;
};
inline constexpr std::array<Field, 7> kFields = {{
    {AgwIp, 0, 600, 0, "IP Address"},
    {AgwPort, 0, 1440, 2, "AGW Port"},
    {ClusterIp, 1, 600, 3, "IP Address"},
    {ClusterPort, 1, 1440, 1, "RF User Port"},
    {PacketLength, 1, 2280, 5, "Max Data Length"},
    {KeepAlive, 1, 3120, 6, "Keep Alive (Minutes)"},
    {ClusterCall, 2, 480, 4, "Cluster Call"},
}};
inline constexpr const char* kKeepAliveTip = "Keep Alive in minutes.  0 to disable.";

// Where Save says why it saved nothing: under the buttons, as wide as the frames. The dialog grows
// to hold it while it is shown.
inline constexpr const char* kMessageName = "lblMessage";
inline constexpr int kMessageLeft = 360;
inline constexpr int kMessageTop = 7920;
inline constexpr int kMessageWidth = 2655;
inline constexpr int kMessageBelow = 240;
inline constexpr const char* kCallsignRefused =
    "Nothing saved: the Cluster Call may have at most 9 characters, with no blanks, accented "
    "letters or control characters.";

// The buttons, numbered as their object names ("cmdAGW0".."cmdAGW2") and the log number them.
enum ButtonId { Save = 0, Exit = 1, Help = 2 };

struct Button {
    ButtonId id;
    const char* caption;
    int left;
};
inline constexpr int kButtonTop = 7440;
inline constexpr int kButtonWidth = 735;
inline constexpr int kButtonHeight = 375;
inline constexpr std::array<Button, 3> kButtons = {{
    {Save, "Save", 360},
    {Exit, "Exit", 1320},
    {Help, "Help", 2280},
}};

} // namespace settingslayout

class SettingsDialog : public QDialog {
    Q_OBJECT
public:
    // The main window's frame as Save writes it; none while it is minimised (nothing is saved).
    using FrameSource = std::function<std::optional<WindowFrame>()>;

    // settings: the run's settings; Save copies the fields into them and writes them to the file
    // at settingsPath, with the frame mainWindow gives.
    SettingsDialog(Settings& settings, const QString& settingsPath, ErrorLog& log,
                   FrameSource mainWindow, QWidget* parent = nullptr);

    // What the buttons do.
    void save();
    void exit();
    void showHelp();

    QLineEdit* field(settingslayout::FieldId id) const { return m_fields.at(size_t(id)); }
    QPushButton* button(settingslayout::ButtonId id) const { return m_buttons.at(size_t(id)); }

    // Where the help page lives: help.html beside the executable.
    static QUrl helpUrl();
    // How Help asks the desktop to open a page (QDesktopServices by default; tests replace it).
    void setUrlOpener(std::function<void(const QUrl&)> open) { m_openUrl = std::move(open); }

signals:
    // Save took the fields (or those before a failure) into the settings.
    void settingsTaken();

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;
    // Opens on a screen even when the saved position is on none, as the main window does.
    void showEvent(QShowEvent* event) override;

private:
    void load();
    // Runs a button's work; a failure is logged with the button's number.
    void press(settingslayout::ButtonId id, const std::function<void()>& work);
    void takeFields();
    // Shows text under the buttons, or hides the message when text is empty.
    void showMessage(const QString& text);

    Settings& m_settings;
    const QString m_settingsPath;
    ErrorLog& m_log;
    const FrameSource m_mainWindow;
    std::array<QLineEdit*, 7> m_fields{};
    std::array<QPushButton*, 3> m_buttons{};
    QLabel* m_message = nullptr; // why the last Save saved nothing; hidden otherwise
    // The position Save writes while the dialog stands where it was put ("Config Left",
    // "Config Top" in twips): exact, though the dialog itself can only stand on whole pixels.
    QPoint m_positionTwips;
    std::function<void(const QUrl&)> m_openUrl = &QDesktopServices::openUrl;
};
