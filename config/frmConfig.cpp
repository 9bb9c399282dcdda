#include "config/frmConfig.h"

#include "config/ConfigFile.h"
#include "config/Module1.h"
#include "net/Failure.h"
#include "net/Platform.h"

#include <QCoreApplication>
#include <QDesktopServices>
#include <QDir>
#include <QGroupBox>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>

using namespace configlayout;

qint16 TextChangeCase(qint16 KeyAscii) {
    if (KeyAscii >= 'a' && KeyAscii <= 'z') return static_cast<qint16>(KeyAscii - 32);
    return KeyAscii;
}

namespace {

QFont sizedFont(const char* family, double points, bool bold, QFont::StyleHint hint) {
    QFont f(QString::fromLatin1(family));
    f.setStyleHint(hint);
    f.setPointSizeF(points);
    f.setBold(bold);
    return f;
}

} // namespace

QUrl frmConfig::helpUrl() {
    return QUrl::fromLocalFile(QDir(platform::appDir()).filePath(QStringLiteral("help.html")));
}

std::function<void(const QUrl&)>& frmConfig::openUrl() {
    static std::function<void(const QUrl&)> open = [](const QUrl& url) {
        QDesktopServices::openUrl(url);
    };
    return open;
}

frmConfig::frmConfig(const WindowGeometry& mainWindow, QWidget* parent)
    : QDialog(parent), m_mainWindow(mainWindow) {
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

    for (size_t i = 0; i < kFrames.size(); ++i) {
        const Frame& f = kFrames[i];
        auto* box = new QGroupBox(QString::fromLatin1(f.caption), this);
        box->setObjectName(QString::fromLatin1(f.name));
        box->setFont(frameFont);
        box->setGeometry(px(f.left), px(f.top), px(f.width), px(f.height));
        m_frames[i] = box;
    }
    for (const Field& f : kFields) {
        QGroupBox* box = m_frames[static_cast<size_t>(f.frame)];
        auto* label = new QLabel(QString::fromLatin1(f.caption), box);
        label->setObjectName(QStringLiteral("lblAGW%1").arg(f.labelIndex));
        label->setFont(labelFont);
        label->setGeometry(px(kFieldLeft), px(f.top - kLabelAbove), px(kFieldWidth),
                           px(kLabelAbove));
        auto* edit = new QLineEdit(box);
        edit->setObjectName(QStringLiteral("txtCfg%1").arg(f.index));
        edit->setFont(fieldFont);
        edit->setGeometry(px(kFieldLeft), px(f.top), px(kFieldWidth), px(kFieldHeight));
        edit->installEventFilter(this);
        label->setBuddy(edit);
        m_lblAGW[static_cast<size_t>(f.labelIndex)] = label;
        m_txtCfg[static_cast<size_t>(f.index)] = edit;
    }
    m_txtCfg[6]->setToolTip(QString::fromLatin1(kKeepAliveTip));

    for (const Button& b : kButtons) {
        auto* button = new QPushButton(QString::fromLatin1(b.caption), this);
        button->setObjectName(QStringLiteral("cmdAGW%1").arg(b.index));
        button->setGeometry(px(b.left), px(kButtonTop), px(kButtonWidth), px(kButtonHeight));
        // Enter in a field does not press a button.
        button->setAutoDefault(false);
        const int index = b.index;
        connect(button, &QPushButton::clicked, this, [this, index] { cmdAGW_Click(index); });
        m_cmdAGW[static_cast<size_t>(b.index)] = button;
    }

    // Tab order: the AGW and cluster addresses, the buttons, then callsign, length, keep-alive.
    const std::array<QWidget*, 10> order = {m_txtCfg[0], m_txtCfg[1], m_txtCfg[2], m_txtCfg[3],
                                            m_cmdAGW[2], m_cmdAGW[0], m_cmdAGW[1], m_txtCfg[4],
                                            m_txtCfg[5], m_txtCfg[6]};
    for (size_t i = 1; i < order.size(); ++i)
        setTabOrder(order[i - 1], order[i]);

    Form_Load();
}

void frmConfig::Form_Load() {
    const Module1::Settings& s = Module1::settings();
    m_txtCfg[6]->setText(QString::number(s.KeepAliveMinutes));
    m_txtCfg[5]->setText(QString::number(s.PacketLength));
    m_txtCfg[4]->setText(s.ClusterCall);
    m_txtCfg[3]->setText(s.ClusterIp);
    m_txtCfg[2]->setText(s.ClusterPort);
    m_txtCfg[1]->setText(s.AgwPort);
    m_txtCfg[0]->setText(s.AgwIp);
    // Screen position of the outer frame, in twips.
    move(s.ConfigLeft / kTwipsPerPixel, s.ConfigTop / kTwipsPerPixel);
    m_txtCfg[0]->setFocus();
}

bool frmConfig::eventFilter(QObject* watched, QEvent* event) {
    // txtCfg_KeyPress: every typed key of every field goes through TextChangeCase.
    if (event->type() == QEvent::KeyPress) {
        auto* key = static_cast<QKeyEvent*>(event);
        const QString text = key->text();
        if (text.size() == 1 && text[0].unicode() <= 0x7fff) {
            const auto code = static_cast<qint16>(text[0].unicode());
            const qint16 changed = TextChangeCase(code);
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

void frmConfig::save() {
    Module1::Settings& s = Module1::settings();
    s.ClusterCall = m_txtCfg[4]->text();
    s.ClusterIp = m_txtCfg[3]->text();
    s.ClusterPort = m_txtCfg[2]->text();
    s.AgwIp = m_txtCfg[0]->text();
    s.AgwPort = m_txtCfg[1]->text();
    s.KeepAliveMinutes = toInt32(m_txtCfg[6]->text());
    s.PacketLength = toInt32(m_txtCfg[5]->text());
    if (s.PacketLength > kMaxPacketLength) {
        s.PacketLength = kMaxPacketLength;
        m_txtCfg[5]->setText(QString::number(kMaxPacketLength));
    } else if (s.PacketLength < kMinPacketLength) {
        s.PacketLength = kMinPacketLength;
        m_txtCfg[5]->setText(QString::number(kMinPacketLength));
    }
    const QRect outer = frameGeometry();
    s.ConfigTop = outer.top() * kTwipsPerPixel;
    s.ConfigLeft = outer.left() * kTwipsPerPixel;
    SaveCfg(m_mainWindow);
}

void frmConfig::cmdAGW_Click(int Index) {
    try {
        switch (Index) {
        case 0:
            save();
            break;
        case 1:
            // Edits and a new position are forgotten.
            close();
            break;
        case 2:
            // If the page cannot be opened, nothing is reported.
            openUrl()(helpUrl());
            break;
        default:
            break;
        }
    } catch (const std::exception& e) {
        Module1::ErrorLog(QStringLiteral("cmdAGW_Click"),
                          QString::number(Index) + QLatin1Char(' ') + describe(e));
    }
}
