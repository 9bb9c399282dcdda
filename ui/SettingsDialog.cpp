#include "ui/SettingsDialog.h"

#include "config/ConfigFile.h"
#include "config/ErrorLog.h"
#include "config/Settings.h"
#include "net/Failure.h"
#include "ui/ScreenPlacement.h"

#include <QCoreApplication>
#include <QDir>
#include <QGroupBox>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>

using namespace settingslayout;

qint16 upperCaseKey(qint16 key) {
    if (key >= 'a' && key <= 'z') return static_cast<qint16>(key - 32);
    return key;
}

namespace {

QFont sizedFont(const char* family, double points, bool bold, QFont::StyleHint hint) {
    QFont f(QString::fromLatin1(family));
    f.setStyleHint(hint);
    f.setPointSizeF(points);
    f.setBold(bold);
    return f;
}

// Where the dialog stands, in whole pixels, for a position in twips.
QPoint pixelsOf(QPoint twips) {
    return QPoint(twips.x() / kTwipsPerPixel, twips.y() / kTwipsPerPixel);
}

} // namespace

QUrl SettingsDialog::helpUrl() {
    return QUrl::fromLocalFile(
        QDir(QCoreApplication::applicationDirPath()).filePath(QStringLiteral("help.html")));
}

SettingsDialog::SettingsDialog(Settings& settings, const QString& settingsPath, ErrorLog& log,
                               FrameSource mainWindow, QWidget* parent)
    : QDialog(parent), m_settings(settings), m_settingsPath(settingsPath), m_log(log),
      m_mainWindow(std::move(mainWindow)) {
    setObjectName(QStringLiteral("frmConfig"));
    setWindowTitle(QString::fromLatin1(kCaption));
    setModal(false);
    // The dialog exists only while it is open.
    setAttribute(Qt::WA_DeleteOnClose);
    setFixedSize(px(kClientWidth), px(kClientHeight));

    const QFont frameFont = sizedFont("MS Sans Serif", 8.25, true, QFont::SansSerif);
    const QFont labelFont = sizedFont("Tahoma", 8.25, true, QFont::SansSerif);
    QFont fieldFont = sizedFont("Fixedsys", 9, false, QFont::TypeWriter);
    fieldFont.setFixedPitch(true);

    std::array<QGroupBox*, 3> frames{};
    for (size_t i = 0; i < kFrames.size(); ++i) {
        const Frame& f = kFrames[i];
        auto* box = new QGroupBox(QString::fromLatin1(f.caption), this);
        box->setObjectName(QString::fromLatin1(f.name));
        box->setFont(frameFont);
        box->setGeometry(px(f.left), px(f.top), px(f.width), px(f.height));
        frames[i] = box;
    }
    for (const Field& f : kFields) {
        QGroupBox* box = frames[static_cast<size_t>(f.frame)];
        auto* label = new QLabel(QString::fromLatin1(f.caption), box);
        label->setObjectName(QStringLiteral("lblAGW") + QString::number(f.labelIndex));
        label->setFont(labelFont);
        label->setGeometry(px(kFieldLeft), px(f.top - kLabelAbove), px(kFieldWidth),
                           px(kLabelAbove));
        auto* edit = new QLineEdit(box);
        edit->setObjectName(QStringLiteral("txtCfg") + QString::number(f.id));
        edit->setFont(fieldFont);
        edit->setGeometry(px(kFieldLeft), px(f.top), px(kFieldWidth), px(kFieldHeight));
        edit->installEventFilter(this);
        label->setBuddy(edit);
        m_fields[static_cast<size_t>(f.id)] = edit;
    }
    field(KeepAlive)->setToolTip(QString::fromLatin1(kKeepAliveTip));

    for (const Button& b : kButtons) {
        auto* button = new QPushButton(QString::fromLatin1(b.caption), this);
        button->setObjectName(QStringLiteral("cmdAGW") + QString::number(b.id));
        button->setGeometry(px(b.left), px(kButtonTop), px(kButtonWidth), px(kButtonHeight));
        // Enter in a field does not press a button.
        button->setAutoDefault(false);
        m_buttons[static_cast<size_t>(b.id)] = button;
    }
    m_message = new QLabel(this);
    m_message->setObjectName(QString::fromLatin1(kMessageName));
    m_message->setFont(labelFont);
    m_message->setWordWrap(true);
    m_message->hide();

    connect(button(Save), &QPushButton::clicked, this, &SettingsDialog::save);
    connect(button(Exit), &QPushButton::clicked, this, &SettingsDialog::exit);
    connect(button(Help), &QPushButton::clicked, this, &SettingsDialog::showHelp);

    // Tab order: the AGW and cluster addresses, the buttons, then callsign, length, keep-alive.
    const std::array<QWidget*, 10> order = {
        field(AgwIp), field(AgwPort), field(ClusterPort), field(ClusterIp),    button(Help),
        button(Save), button(Exit),   field(ClusterCall), field(PacketLength), field(KeepAlive)};
    for (size_t i = 1; i < order.size(); ++i)
        setTabOrder(order[i - 1], order[i]);

    load();
}

void SettingsDialog::load() {
    const Settings& s = m_settings;
    field(KeepAlive)->setText(QString::number(s.keepAliveMinutes));
    field(PacketLength)->setText(QString::number(s.packetLength));
    field(ClusterCall)->setText(s.clusterCall.text());
    field(ClusterIp)->setText(s.clusterIp);
    field(ClusterPort)->setText(s.clusterPort.text());
    field(AgwPort)->setText(s.agwPort.text());
    field(AgwIp)->setText(s.agwIp);
    // Screen position of the outer frame, in twips.
    m_positionTwips = QPoint(s.configLeft, s.configTop);
    move(pixelsOf(m_positionTwips));
    field(AgwIp)->setFocus();
}

void SettingsDialog::showEvent(QShowEvent* event) {
    QDialog::showEvent(event);
    if (const std::optional<QPoint> there = onScreenPosition(frameGeometry(), screenAreas()))
        move(*there);
}

bool SettingsDialog::eventFilter(QObject* watched, QEvent* event) {
    // Every typed key of every field goes through the upper-case filter.
    if (event->type() == QEvent::KeyPress) {
        auto* key = static_cast<QKeyEvent*>(event);
        const QString text = key->text();
        if (text.size() == 1 && text[0].unicode() <= 0x7fff) {
            const auto code = static_cast<qint16>(text[0].unicode());
            const qint16 changed = upperCaseKey(code);
            if (changed != code) {
                QKeyEvent upper(QEvent::KeyPress, key->key(), key->modifiers(),
                                QString(QChar(static_cast<char16_t>(changed))), key->isAutoRepeat(),
                                key->count());
                QCoreApplication::sendEvent(watched, &upper);
                return true;
            }
        }
    }
    return QDialog::eventFilter(watched, event);
}

void SettingsDialog::keyPressEvent(QKeyEvent* event) {
    // QDialog closes on Escape and the edits would be gone; only Exit closes this dialog.
    if (event->matches(QKeySequence::Cancel)) {
        event->accept();
        return;
    }
    QDialog::keyPressEvent(event);
}

void SettingsDialog::press(ButtonId id, const std::function<void()>& work) {
    try {
        work();
    } catch (const std::exception& e) {
        m_log.write(QStringLiteral("cmdAGW_Click"),
                    QString::number(id) + QLatin1Char(' ') + describe(e));
    }
}

void SettingsDialog::showMessage(const QString& text) {
    m_message->setText(text);
    m_message->setVisible(!text.isEmpty());
    int height = px(kClientHeight);
    if (!text.isEmpty()) {
        const int lines = m_message->heightForWidth(px(kMessageWidth));
        m_message->setGeometry(px(kMessageLeft), px(kMessageTop), px(kMessageWidth), lines);
        height = qMax(height, px(kMessageTop) + lines + px(kMessageBelow));
    }
    setFixedSize(px(kClientWidth), height);
}

void SettingsDialog::takeFields() {
    // The callsign as the file reader would take it; one the engine could not register (blanks,
    // control bytes, more than 9 characters) stops the save before anything is taken.
    const QString call = callsignText(field(ClusterCall)->text());
    if (!isUsableCallsign(call)) {
        showMessage(QString::fromLatin1(kCallsignRefused));
        field(ClusterCall)->setFocus();
        return;
    }
    showMessage(QString());
    field(ClusterCall)->setText(call);
    Settings& s = m_settings;
    s.clusterCall = CallsignSetting(call);
    s.clusterIp = field(ClusterIp)->text();
    s.clusterPort = PortSetting(field(ClusterPort)->text());
    s.agwIp = field(AgwIp)->text();
    s.agwPort = PortSetting(field(AgwPort)->text());
    s.keepAliveMinutes = toInt32(field(KeepAlive)->text());
    s.packetLength = toInt32(field(PacketLength)->text());
    if (s.packetLength > kMaxPacketLength) {
        s.packetLength = kMaxPacketLength;
        field(PacketLength)->setText(QString::number(kMaxPacketLength));
    } else if (s.packetLength < kMinPacketLength) {
        s.packetLength = kMinPacketLength;
        field(PacketLength)->setText(QString::number(kMinPacketLength));
    }
    // Moved since it was put there, the dialog's pixels give the twips; otherwise the twips it
    // was put at stay as they were, not cut down to a multiple of a pixel.
    const QPoint outer = frameGeometry().topLeft();
    if (outer != pixelsOf(m_positionTwips)) m_positionTwips = outer * kTwipsPerPixel;
    s.configTop = m_positionTwips.y();
    s.configLeft = m_positionTwips.x();
    saveSettingsFile(m_settingsPath, s, m_mainWindow(), m_log);
}

void SettingsDialog::save() {
    press(Save, [this] { takeFields(); });
    // Whatever was taken before a failure stays taken, and goes where the settings are read.
    emit settingsTaken();
}

void SettingsDialog::exit() {
    // Edits and a new position are forgotten.
    press(Exit, [this] { close(); });
}

void SettingsDialog::showHelp() {
    // If the page cannot be opened, nothing is reported.
    press(Help, [this] { m_openUrl(helpUrl()); });
}
