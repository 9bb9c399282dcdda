// The settings dialog: its layout, the upper-casing of typed keys, Save with its range limit and
// failure rule, the callsign check, Exit, Escape, Help.
#include "config/ConfigFile.h"
#include "config/ErrorLog.h"
#include "config/Settings.h"
#include "support/TestUtil.h"
#include "ui/SettingsDialog.h"

#include <QCoreApplication>
#include <QDir>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QScreen>
#include <QtTest>
#include <memory>

using namespace settingslayout;

namespace {

// The run's settings, its log and its directory, and the dialogs made on them.
struct Rig {
    TempDir dir;
    Settings settings;
    ErrorLog log{dir.path()};
    // The main window's frame, as Save writes it.
    SettingsDialog::FrameSource window = [] { return WindowFrame{{150, 300, 6000, 9000}}; };

    SettingsDialog dialog() {
        return SettingsDialog(settings, settingsFilePath(dir.path()), log, window);
    }
    SettingsDialog* newDialog() {
        return new SettingsDialog(settings, settingsFilePath(dir.path()), log, window);
    }
};

} // namespace

class tst_gui_settingsdialog : public QObject {
    Q_OBJECT
private slots:
    void init();

    void layout();
    void loadingFillsAndPlaces();
    void keptOnScreen_data();
    void keptOnScreen();
    void tabOrder();
    void typedKeysUpperCase_data();
    void typedKeysUpperCase();
    void save_data();
    void save();
    void callsign_data();
    void callsign();
    void positionKeptOnlyBySave_data();
    void positionKeptOnlyBySave();
    void unmovedPositionKeepsTwips_data();
    void unmovedPositionKeepsTwips();
    void escapeKeepsDialogAndEdits();
    void helpOpensPageBesideExecutable();

private:
    std::unique_ptr<Rig> m_rig;
};

void tst_gui_settingsdialog::init() {
    m_rig = std::make_unique<Rig>();
}

void tst_gui_settingsdialog::layout() {
    SettingsDialog d = m_rig->dialog();
    QCOMPARE(d.windowTitle(), QStringLiteral("AGW to Tarn Cluster"));
    QVERIFY(!d.isModal());
    QCOMPARE(d.size(), QSize(226, 538));

    for (const Frame& f : kFrames) {
        auto* box = d.findChild<QGroupBox*>(QString::fromLatin1(f.name));
        QVERIFY(box);
        QCOMPARE(box->title(), QString::fromLatin1(f.caption));
        QCOMPARE(box->geometry(), QRect(px(f.left), px(f.top), px(f.width), px(f.height)));
    }
    for (const Field& f : kFields) {
        auto* edit = d.findChild<QLineEdit*>(QStringLiteral("txtCfg%1").arg(f.id));
        auto* label = d.findChild<QLabel*>(QStringLiteral("lblAGW%1").arg(f.labelIndex));
        QVERIFY(edit && label);
        QCOMPARE(edit, d.field(f.id));
        QCOMPARE(edit->parentWidget()->objectName(), QString::fromLatin1(kFrames[f.frame].name));
        QCOMPARE(edit->geometry(), QRect(24, px(f.top), 129, 22));
        QCOMPARE(label->text(), QString::fromLatin1(f.caption));
        QCOMPARE(label->parentWidget(), edit->parentWidget());
        QCOMPARE(label->y() + label->height(), edit->y()); // 240 twips above the field
        QVERIFY(label->font().bold());
        QVERIFY(!edit->font().bold());
        QCOMPARE(edit->toolTip(), f.id == KeepAlive
                                      ? QStringLiteral("Keep Alive in minutes.  0 to disable.")
                                      : QString());
    }
    for (const Button& b : kButtons) {
        auto* button = d.findChild<QPushButton*>(QStringLiteral("cmdAGW%1").arg(b.id));
        QVERIFY(button);
        QCOMPARE(button, d.button(b.id));
        QCOMPARE(button->text(), QString::fromLatin1(b.caption));
        QCOMPARE(button->geometry(), QRect(px(b.left), 496, 49, 25));
    }
}

void tst_gui_settingsdialog::loadingFillsAndPlaces() {
    Settings& s = m_rig->settings;
    s.agwIp = QStringLiteral("192.168.1.5");
    s.agwPort = PortSetting(QStringLiteral("8000"));
    s.clusterPort = PortSetting(QStringLiteral("7300"));
    s.clusterIp = QStringLiteral("dx.example.net");
    s.clusterCall = QStringLiteral("GB7TC");
    s.packetLength = 130;
    s.keepAliveMinutes = 0;
    s.configTop = 1500;
    s.configLeft = 4500;
    SettingsDialog d = m_rig->dialog();
    const QStringList expected = {"192.168.1.5", "8000", "7300", "dx.example.net",
                                  "GB7TC",       "130",  "0"};
    for (int i = 0; i < 7; ++i)
        QCOMPARE(d.field(FieldId(i))->text(), expected[i]);
    d.show();
    QVERIFY(QTest::qWaitForWindowExposed(&d));
    QCOMPARE(d.frameGeometry().topLeft(), QPoint(300, 100));
    QCOMPARE(d.focusWidget(), d.field(AgwIp));
}

// A saved position on no screen (a monitor unplugged since, a hand-edited file): the dialog opens
// on the nearest screen, since only the window manager could close it where nobody sees it.
void tst_gui_settingsdialog::keptOnScreen_data() {
    QTest::addColumn<int>("left");
    QTest::addColumn<int>("top");
    QTest::newRow("far to the left") << -200000 << 1500;
    QTest::newRow("far below") << 1500 << 2000000000;
    QTest::newRow("far up and right") << 2000000000 << -2000000000;
}

void tst_gui_settingsdialog::keptOnScreen() {
    QFETCH(int, left);
    QFETCH(int, top);
    m_rig->settings.configLeft = left;
    m_rig->settings.configTop = top;
    SettingsDialog d = m_rig->dialog();
    d.show();
    QVERIFY(QTest::qWaitForWindowExposed(&d));
    const QRect area = QGuiApplication::primaryScreen()->availableGeometry();
    QVERIFY2(
        area.contains(d.frameGeometry()),
        qPrintable(QStringLiteral("%1,%2").arg(d.frameGeometry().x()).arg(d.frameGeometry().y())));
}

void tst_gui_settingsdialog::tabOrder() {
    SettingsDialog d = m_rig->dialog();
    QStringList order;
    QWidget* w = d.field(AgwIp);
    for (int i = 0; i < 10; ++i) {
        order << w->objectName();
        do {
            w = w->nextInFocusChain();
        } while (!(w->focusPolicy() & Qt::TabFocus));
    }
    QCOMPARE(order, QStringList({"txtCfg0", "txtCfg1", "txtCfg2", "txtCfg3", "cmdAGW2", "cmdAGW0",
                                 "cmdAGW1", "txtCfg4", "txtCfg5", "txtCfg6"}));
    QCOMPARE(w, d.field(AgwIp)); // and round again
}

void tst_gui_settingsdialog::typedKeysUpperCase_data() {
    QTest::addColumn<FieldId>("field");
    QTest::addColumn<QString>("typed");
    QTest::addColumn<QString>("shown");
    QTest::newRow("callsign") << ClusterCall << "n0call-1"
                              << "N0CALL-1";
    QTest::newRow("address field") << AgwIp << "n0call-1"
                                   << "N0CALL-1";
    QTest::newRow("host name") << ClusterIp << "dx.gb7tc.net"
                               << "DX.GB7TC.NET";
    QTest::newRow("digits and marks pass") << PacketLength << "12.5 -/_"
                                           << "12.5 -/_";
    QTest::newRow("marks beside a..z pass") << KeepAlive << "@[`{"
                                            << "@[`{";
    QTest::newRow("upper case stays") << AgwPort << "AbZ"
                                      << "ABZ";
}

void tst_gui_settingsdialog::typedKeysUpperCase() {
    QFETCH(FieldId, field);
    QFETCH(QString, typed);
    QFETCH(QString, shown);
    SettingsDialog d = m_rig->dialog();
    d.show();
    QLineEdit* edit = d.field(field);
    edit->clear();
    QTest::keyClicks(edit, typed);
    QCOMPARE(edit->text(), shown);
    QTest::keyClick(edit, Qt::Key_Backspace);
    QCOMPARE(edit->text(), shown.chopped(1));
}

void tst_gui_settingsdialog::save_data() {
    QTest::addColumn<QString>("maxLength");
    QTest::addColumn<QString>("keepAlive");
    QTest::addColumn<int>("packetLength");
    QTest::addColumn<QString>("shown");
    QTest::addColumn<int>("keepAliveMinutes");
    QTest::addColumn<bool>("fails");
    // Settings before Save: packetLength 77, keepAliveMinutes 9.
    QTest::newRow("300 limited to 234") << "300"
                                        << "5" << 234 << "234" << 5 << false;
    QTest::newRow("234 stays") << "234"
                               << "0" << 234 << "234" << 0 << false;
    QTest::newRow("30 stays") << "30"
                              << "1" << 30 << "30" << 1 << false;
    QTest::newRow("10 raised to 30") << "10"
                                     << "2" << 30 << "30" << 2 << false;
    QTest::newRow("empty raised to 30") << ""
                                        << "3" << 30 << "30" << 3 << false;
    QTest::newRow("keep alive empty is 0") << "130"
                                           << "" << 130 << "130" << 0 << false;
    QTest::newRow("keep alive negative kept") << "130"
                                              << "-4" << 130 << "130" << -4 << false;
    QTest::newRow("halves to even") << "130.5"
                                    << "2.5" << 130 << "130.5" << 2 << false;
    QTest::newRow("keep alive too large") << "130"
                                          << "99999999999" << 77 << "130" << 9 << true;
    QTest::newRow("length too large") << "99999999999"
                                      << "6" << 77 << "99999999999" << 6 << true;
}

void tst_gui_settingsdialog::save() {
    QFETCH(QString, maxLength);
    QFETCH(QString, keepAlive);
    QFETCH(int, packetLength);
    QFETCH(QString, shown);
    QFETCH(int, keepAliveMinutes);
    QFETCH(bool, fails);

    Settings& s = m_rig->settings;
    s.packetLength = 77;
    s.keepAliveMinutes = 9;
    s.configTop = 1500;
    s.configLeft = 3000;
    SettingsDialog d = m_rig->dialog();
    d.show();
    QVERIFY(QTest::qWaitForWindowExposed(&d));
    const QStringList texts = {"10.1.1.1", "8001", "7300", "node.example", " n0call "};
    for (int i = 0; i < 5; ++i)
        d.field(FieldId(i))->setText(texts[i]);
    d.field(PacketLength)->setText(maxLength);
    d.field(KeepAlive)->setText(keepAlive);

    QTest::mouseClick(d.button(Save), Qt::LeftButton);

    // The texts are taken over unchanged (the callsign as the file reader takes it), also when a
    // number fails later.
    QCOMPARE(s.agwIp, texts[0]);
    QCOMPARE(s.agwPort.text(), texts[1]);
    QCOMPARE(s.clusterPort.text(), texts[2]);
    QCOMPARE(s.clusterIp, texts[3]);
    QCOMPARE(s.clusterCall.text(), QStringLiteral("N0CALL"));
    QCOMPARE(s.packetLength, packetLength);
    QCOMPARE(s.keepAliveMinutes, keepAliveMinutes);
    QCOMPARE(d.field(PacketLength)->text(), shown);
    QVERIFY(d.isVisible()); // Save leaves the dialog open

    const QStringList log = m_rig->dir.logEntries();
    const QByteArray file = m_rig->dir.read(QStringLiteral("pktgate.cfg"));
    if (fails) {
        QCOMPARE(log.size(), 1);
        QVERIFY2(log[0].startsWith(QStringLiteral("cmdAGW_Click 0 ")) &&
                     log[0].size() > QStringLiteral("cmdAGW_Click 0 ").size(),
                 qPrintable(log[0]));
        QVERIFY(file.isEmpty());
    } else {
        QCOMPARE(log, QStringList());
        QVERIFY(file.contains("\"Cluster Call\",\"N0CALL\""));
        QVERIFY(file.contains("\"Packet Length\"," + QByteArray::number(packetLength) + "\r\n"));
    }
}

void tst_gui_settingsdialog::callsign_data() {
    QTest::addColumn<QString>("typed");
    QTest::addColumn<QString>("saved"); // null: refused
    QTest::newRow("trimmed and upper-cased") << " gb7tc\t"
                                             << "GB7TC";
    QTest::newRow("nine characters") << "n0call-15"
                                     << "N0CALL-15";
    QTest::newRow("empty") << "  "
                           << "";
    QTest::newRow("ten characters") << "N0CALL-150" << QString();
    QTest::newRow("blank inside") << "GB7 TC" << QString();
    QTest::newRow("control byte") << "GB7TC\x7f" << QString();
    QTest::newRow("beyond ASCII") << QString::fromLatin1("GB7T\xc9") << QString();
}

void tst_gui_settingsdialog::callsign() {
    QFETCH(QString, typed);
    QFETCH(QString, saved);
    Settings& s = m_rig->settings;
    s.clusterCall = QStringLiteral("OLD");
    s.packetLength = 130;
    SettingsDialog d = m_rig->dialog();
    d.show();
    QVERIFY(QTest::qWaitForWindowExposed(&d));
    d.field(AgwIp)->setText(QStringLiteral("10.1.1.1"));
    d.field(ClusterCall)->setText(typed);
    QTest::mouseClick(d.button(Save), Qt::LeftButton);

    const QByteArray file = m_rig->dir.read(QStringLiteral("pktgate.cfg"));
    const auto* message = d.findChild<QLabel*>(QStringLiteral("lblMessage"));
    if (saved.isNull()) {
        // Nothing is taken, neither the callsign nor any other field, and nothing is written.
        QCOMPARE(s.clusterCall.text(), QStringLiteral("OLD"));
        QCOMPARE(s.agwIp, QString());
        QVERIFY(file.isEmpty());
        QVERIFY(message && message->isVisible());
        QVERIFY(d.rect().contains(message->geometry()));
        QCOMPARE(d.field(ClusterCall)->text(), typed);
        // Once mended, Save goes ahead and the message goes.
        d.field(ClusterCall)->setText(QStringLiteral("GB7TC"));
        QTest::mouseClick(d.button(Save), Qt::LeftButton);
        QCOMPARE(s.clusterCall.text(), QStringLiteral("GB7TC"));
    } else {
        QCOMPARE(s.clusterCall.text(), saved);
        QCOMPARE(d.field(ClusterCall)->text(), saved);
        QVERIFY(file.contains("\"Cluster Call\",\"" + saved.toLatin1() + "\"\r\n"));
    }
    QVERIFY(!message || !message->isVisible());
    QCOMPARE(d.size(), QSize(226, 538));
    QCOMPARE(m_rig->dir.logEntries(), QStringList());
}

void tst_gui_settingsdialog::positionKeptOnlyBySave_data() {
    QTest::addColumn<ButtonId>("pressed");
    QTest::addColumn<bool>("kept");
    QTest::newRow("Save") << Save << true;
    QTest::newRow("Exit") << Exit << false;
}

void tst_gui_settingsdialog::positionKeptOnlyBySave() {
    QFETCH(ButtonId, pressed);
    QFETCH(bool, kept);
    Settings& s = m_rig->settings;
    s.configTop = 1500;
    s.configLeft = 3000;
    s.packetLength = 130;

    QPointer<SettingsDialog> d = m_rig->newDialog();
    d->show();
    QVERIFY(QTest::qWaitForWindowExposed(d));
    d->field(ClusterCall)->setText(QStringLiteral("EDITED"));
    d->move(400, 250);
    QTRY_COMPARE(d->frameGeometry().topLeft(), QPoint(400, 250));
    QTest::mouseClick(d->button(pressed), Qt::LeftButton);

    QCOMPARE(s.configTop, kept ? 250 * 15 : 1500);
    QCOMPARE(s.configLeft, kept ? 400 * 15 : 3000);
    QCOMPARE(s.clusterCall.text(), kept ? QStringLiteral("EDITED") : QString());
    if (!kept) {
        QVERIFY(!d->isVisible());
        QTRY_VERIFY(!d); // gone: the next Configure loads a new one
    }
    delete d.data();

    SettingsDialog next = m_rig->dialog();
    next.show();
    QVERIFY(QTest::qWaitForWindowExposed(&next));
    QCOMPARE(next.frameGeometry().topLeft(), kept ? QPoint(400, 250) : QPoint(200, 100));
}

void tst_gui_settingsdialog::unmovedPositionKeepsTwips_data() {
    QTest::addColumn<int>("top");
    QTest::addColumn<int>("left");
    QTest::newRow("14 twips past a pixel") << 1514 << 3014;
    QTest::newRow("under one pixel") << 7 << 1;
}

void tst_gui_settingsdialog::unmovedPositionKeepsTwips() {
    QFETCH(int, top);
    QFETCH(int, left);
    Settings& s = m_rig->settings;
    s.configTop = top;
    s.configLeft = left;
    SettingsDialog d = m_rig->dialog();
    d.show();
    QVERIFY(QTest::qWaitForWindowExposed(&d));
    QCOMPARE(d.frameGeometry().topLeft(), QPoint(left / 15, top / 15));
    QTest::mouseClick(d.button(Save), Qt::LeftButton);
    QCOMPARE(s.configTop, top);
    QCOMPARE(s.configLeft, left);
}

void tst_gui_settingsdialog::escapeKeepsDialogAndEdits() {
    QPointer<SettingsDialog> d = m_rig->newDialog();
    d->show();
    QVERIFY(QTest::qWaitForWindowExposed(d));
    QTest::keyClicks(d->field(ClusterCall), QStringLiteral("GB7TC"));
    QTest::keyClick(d->field(ClusterCall), Qt::Key_Escape);
    QTest::keyClick(d, Qt::Key_Escape);
    QCoreApplication::processEvents();
    QVERIFY(d && d->isVisible());
    QCOMPARE(d->field(ClusterCall)->text(), QStringLiteral("GB7TC"));
    QCOMPARE(m_rig->settings.clusterCall.text(), QString());
    delete d.data();
}

void tst_gui_settingsdialog::helpOpensPageBesideExecutable() {
    QList<QUrl> opened;
    SettingsDialog d = m_rig->dialog();
    d.setUrlOpener([&opened](const QUrl& url) { opened << url; });
    d.show();
    QVERIFY(QTest::qWaitForWindowExposed(&d));
    QTest::mouseClick(d.button(Help), Qt::LeftButton);
    QCOMPARE(
        opened,
        QList<QUrl>({QUrl::fromLocalFile(
            QDir(QCoreApplication::applicationDirPath()).filePath(QStringLiteral("help.html")))}));
    QCOMPARE(m_rig->dir.logEntries(), QStringList()); // a page that is not there is not reported
}

QTEST_MAIN(tst_gui_settingsdialog)
#include "tst_gui_settingsdialog.moc"
