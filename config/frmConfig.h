#pragma once
// The settings dialog "AGW to Tarn Cluster": seven fields copied from the settings globals when
// the dialog is loaded and back on Save, which also writes pktgate.cfg. Modeless; it exists only
// while it is open.
#include "config/Twips.h"
#include "config/WindowGeometry.h"

#include <QDialog>
#include <QUrl>
#include <array>
#include <functional>

class QGroupBox;
class QLabel;
class QLineEdit;
class QPushButton;

// The key filter of every field: a lower-case letter a..z becomes upper case, every other key
// code passes unchanged.
qint16 TextChangeCase(qint16 KeyAscii);

// The dialog's built-in layout, in twips (15 twips are one pixel at 96 dpi).
namespace configlayout {

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

struct Field {
    int index;      // txtCfg(index)
    int frame;      // index into kFrames
    int top;        // inside the frame
    int labelIndex; // lblAGW(labelIndex)
    const char* caption;
};
inline constexpr std::array<Field, 7> kFields = {{
    {0, 0, 600, 0, "IP Address"},
    {1, 0, 1440, 2, "AGW Port"},
    {3, 1, 600, 3, "IP Address"},
    {2, 1, 1440, 1, "RF User Port"},
    {5, 1, 2280, 5, "Max Data Length"},
    {6, 1, 3120, 6, "Keep Alive (Minutes)"},
    {4, 2, 480, 4, "Cluster Call"},
}};
inline constexpr const char* kKeepAliveTip = "Keep Alive in minutes.  0 to disable.";

struct Button {
    int index; // cmdAGW(index)
    const char* caption;
    int left;
};
inline constexpr int kButtonTop = 7440;
inline constexpr int kButtonWidth = 735;
inline constexpr int kButtonHeight = 375;
inline constexpr std::array<Button, 3> kButtons = {{
    {0, "Save", 360},
    {1, "Exit", 1320},
    {2, "Help", 2280},
}};

// Max Data Length is kept within this range.
inline constexpr int kMinPacketLength = 30;
inline constexpr int kMaxPacketLength = 234;

} // namespace configlayout

class frmConfig : public QDialog {
    Q_OBJECT
public:
    // mainWindow is what SaveCfg writes the window geometry from.
    explicit frmConfig(const WindowGeometry& mainWindow, QWidget* parent = nullptr);

    // 0 Save, 1 Exit, 2 Help; any other index does nothing.
    void cmdAGW_Click(int Index);

    QLineEdit* txtCfg(int i) const { return m_txtCfg.at(static_cast<size_t>(i)); }
    QPushButton* cmdAGW(int i) const { return m_cmdAGW.at(static_cast<size_t>(i)); }

    // Where the help page lives: help.html beside the executable.
    static QUrl helpUrl();
    // How Help asks the desktop to open a page (QDesktopServices by default; tests replace it).
    static std::function<void(const QUrl&)>& openUrl();

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void Form_Load();
    void save();

    const WindowGeometry& m_mainWindow;
    std::array<QGroupBox*, 3> m_frames{};
    std::array<QLineEdit*, 7> m_txtCfg{};
    std::array<QLabel*, 7> m_lblAGW{};
    std::array<QPushButton*, 3> m_cmdAGW{};
};
