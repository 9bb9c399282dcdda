// The settings dialog: its layout, the upper-casing of typed keys, Save with its range limit and
// failure rule, Exit, Help.
#include "config/Module1.h"
#include "config/frmConfig.h"
#include "support/TestUtil.h"

#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QtTest>

namespace {

// The main window as SaveCfg sees it.
class FakeWindow : public WindowGeometry {
public:
    double geometry(Field f) const override { return values[f]; }
    void setGeometry(Field f, double twips) override { values[f] = twips; }
    bool isMinimised() const override { return minimised; }

    double values[4] = {150, 300, 6000, 9000};
    bool minimised = false;
};

} // namespace

class TestFrmConfig : public QObject {
    Q_OBJECT
private slots:
    void init();

    void layout();
    void loadingFillsAndPlaces();
    void tabOrder();
    void typedKeysUpperCase_data();
    void typedKeysUpperCase();
    void save_data();
    void save();
    void positionKeptOnlyBySave_data();
    void positionKeptOnlyBySave();
    void helpOpensPageBesideExecutable();

private:
    FakeWindow m_window;
};

void TestFrmConfig::init() {
    Module1::settings() = Module1::Settings();
    m_window = FakeWindow();
}

void TestFrmConfig::layout() {
    using namespace configlayout;
    frmConfig d(m_window);
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
        auto* edit = d.findChild<QLineEdit*>(QStringLiteral("txtCfg%1").arg(f.index));
        auto* label = d.findChild<QLabel*>(QStringLiteral("lblAGW%1").arg(f.labelIndex));
        QVERIFY(edit && label);
        QCOMPARE(edit, d.txtCfg(f.index));
        QCOMPARE(edit->parentWidget()->objectName(), QString::fromLatin1(kFrames[f.frame].name));
        QCOMPARE(edit->geometry(), QRect(24, px(f.top), 129, 22));
        QCOMPARE(label->text(), QString::fromLatin1(f.caption));
        QCOMPARE(label->parentWidget(), edit->parentWidget());
        QCOMPARE(label->y() + label->height(), edit->y()); // 240 twips above the field
        QVERIFY(label->font().bold());
        QVERIFY(!edit->font().bold());
        QCOMPARE(edit->toolTip(), f.index == 6
                                      ? QStringLiteral("Keep Alive in minutes.  0 to disable.")
                                      : QString());
    }
    for (const Button& b : kButtons) {
        auto* button = d.findChild<QPushButton*>(QStringLiteral("cmdAGW%1").arg(b.index));
        QVERIFY(button);
        QCOMPARE(button->text(), QString::fromLatin1(b.caption));
        QCOMPARE(button->geometry(), QRect(px(b.left), 496, 49, 25));
    }
}

void TestFrmConfig::loadingFillsAndPlaces() {
    Module1::Settings& s = Module1::settings();
    s.AgwIp = QStringLiteral("192.168.1.5");
    s.AgwPort = QStringLiteral("8000");
    s.ClusterPort = QStringLiteral("7300");
    s.ClusterIp = QStringLiteral("dx.example.net");
    s.ClusterCall = QStringLiteral("GB7TC");
    s.PacketLength = 130;
    s.KeepAliveMinutes = 0;
    s.ConfigTop = 1500;
    s.ConfigLeft = 4500;
    frmConfig d(m_window);
    const QStringList expected = {"192.168.1.5", "8000", "7300", "dx.example.net",
                                  "GB7TC",       "130",  "0"};
    for (int i = 0; i < 7; ++i)
        QCOMPARE(d.txtCfg(i)->text(), expected[i]);
    d.show();
    QVERIFY(QTest::qWaitForWindowExposed(&d));
    QCOMPARE(d.frameGeometry().topLeft(), QPoint(300, 100));
    QCOMPARE(d.focusWidget(), d.txtCfg(0));
}

void TestFrmConfig::tabOrder() {
    frmConfig d(m_window);
    QStringList order;
    QWidget* w = d.txtCfg(0);
    for (int i = 0; i < 10; ++i) {
        order << w->objectName();
        do {
            w = w->nextInFocusChain();
        } while (!(w->focusPolicy() & Qt::TabFocus));
    }
    QCOMPARE(order, QStringList({"txtCfg0", "txtCfg1", "txtCfg2", "txtCfg3", "cmdAGW2", "cmdAGW0",
                                 "cmdAGW1", "txtCfg4", "txtCfg5", "txtCfg6"}));
    QCOMPARE(w, d.txtCfg(0)); // and round again
}

void TestFrmConfig::typedKeysUpperCase_data() {
    QTest::addColumn<int>("field");
    QTest::addColumn<QString>("typed");
    QTest::addColumn<QString>("shown");
    QTest::newRow("callsign") << 4 << "n0call-1"
                              << "N0CALL-1";
    QTest::newRow("address field") << 0 << "n0call-1"
                                   << "N0CALL-1";
    QTest::newRow("host name") << 3 << "dx.gb7tc.net"
                               << "DX.GB7TC.NET";
    QTest::newRow("digits and marks pass") << 5 << "12.5 -/_"
                                           << "12.5 -/_";
    QTest::newRow("marks beside a..z pass") << 6 << "@[`{"
                                            << "@[`{";
    QTest::newRow("upper case stays") << 1 << "AbZ"
                                      << "ABZ";
}

void TestFrmConfig::typedKeysUpperCase() {
    QFETCH(int, field);
    QFETCH(QString, typed);
    QFETCH(QString, shown);
    frmConfig d(m_window);
    d.show();
    QLineEdit* edit = d.txtCfg(field);
    edit->clear();
    QTest::keyClicks(edit, typed);
    QCOMPARE(edit->text(), shown);
    QTest::keyClick(edit, Qt::Key_Backspace);
    QCOMPARE(edit->text(), shown.chopped(1));
}

void TestFrmConfig::save_data() {
    QTest::addColumn<QString>("maxLength");
    QTest::addColumn<QString>("keepAlive");
    QTest::addColumn<int>("packetLength");
    QTest::addColumn<QString>("shown");
    QTest::addColumn<int>("keepAliveMinutes");
    QTest::addColumn<bool>("fails");
    // Settings before Save: PacketLength 77, KeepAliveMinutes 9.
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

void TestFrmConfig::save() {
    QFETCH(QString, maxLength);
    QFETCH(QString, keepAlive);
    QFETCH(int, packetLength);
    QFETCH(QString, shown);
    QFETCH(int, keepAliveMinutes);
    QFETCH(bool, fails);

    TempAppDir dir;
    Module1::Settings& s = Module1::settings();
    s.PacketLength = 77;
    s.KeepAliveMinutes = 9;
    s.ConfigTop = 1500;
    s.ConfigLeft = 3000;
    frmConfig d(m_window);
    d.show();
    QVERIFY(QTest::qWaitForWindowExposed(&d));
    const QStringList texts = {"10.1.1.1", "8001", "7300", "node.example", " n0call "};
    for (int i = 0; i < 5; ++i)
        d.txtCfg(i)->setText(texts[i]);
    d.txtCfg(5)->setText(maxLength);
    d.txtCfg(6)->setText(keepAlive);

    QTest::mouseClick(d.cmdAGW(0), Qt::LeftButton);

    // The texts are taken over unchanged, also when a number fails later.
    QCOMPARE(s.AgwIp, texts[0]);
    QCOMPARE(s.AgwPort, texts[1]);
    QCOMPARE(s.ClusterPort, texts[2]);
    QCOMPARE(s.ClusterIp, texts[3]);
    QCOMPARE(s.ClusterCall, texts[4]);
    QCOMPARE(s.PacketLength, packetLength);
    QCOMPARE(s.KeepAliveMinutes, keepAliveMinutes);
    QCOMPARE(d.txtCfg(5)->text(), shown);
    QVERIFY(d.isVisible()); // Save leaves the dialog open

    const QStringList log = dir.logEntries();
    const QByteArray file = dir.read(QStringLiteral("pktgate.cfg"));
    if (fails) {
        QCOMPARE(log.size(), 1);
        QVERIFY2(log[0].startsWith(QStringLiteral("cmdAGW_Click 0 ")) &&
                     log[0].size() > QStringLiteral("cmdAGW_Click 0 ").size(),
                 qPrintable(log[0]));
        QVERIFY(file.isEmpty());
    } else {
        QCOMPARE(log, QStringList());
        QVERIFY(file.contains("\"Cluster Call\",\" n0call \""));
        QVERIFY(file.contains("\"Packet Length\"," + QByteArray::number(packetLength) + "\r\n"));
    }
}

void TestFrmConfig::positionKeptOnlyBySave_data() {
    QTest::addColumn<int>("button");
    QTest::addColumn<bool>("kept");
    QTest::newRow("Save") << 0 << true;
    QTest::newRow("Exit") << 1 << false;
}

void TestFrmConfig::positionKeptOnlyBySave() {
    QFETCH(int, button);
    QFETCH(bool, kept);
    TempAppDir dir;
    Module1::settings().ConfigTop = 1500;
    Module1::settings().ConfigLeft = 3000;
    Module1::settings().PacketLength = 130;

    auto* d = new frmConfig(m_window);
    QPointer<frmConfig> guard = d;
    d->show();
    QVERIFY(QTest::qWaitForWindowExposed(d));
    d->txtCfg(4)->setText(QStringLiteral("EDITED"));
    d->move(400, 250);
    QTRY_COMPARE(d->frameGeometry().topLeft(), QPoint(400, 250));
    d->cmdAGW_Click(button);

    QCOMPARE(Module1::settings().ConfigTop, kept ? 250 * 15 : 1500);
    QCOMPARE(Module1::settings().ConfigLeft, kept ? 400 * 15 : 3000);
    QCOMPARE(Module1::settings().ClusterCall, kept ? QStringLiteral("EDITED") : QString());
    if (!kept) {
        QVERIFY(!d->isVisible());
        QTRY_VERIFY(!guard); // gone: the next Configure loads a new one
    }
    delete guard.data();

    frmConfig next(m_window);
    next.show();
    QVERIFY(QTest::qWaitForWindowExposed(&next));
    QCOMPARE(next.frameGeometry().topLeft(), kept ? QPoint(400, 250) : QPoint(200, 100));
}

void TestFrmConfig::helpOpensPageBesideExecutable() {
    TempAppDir dir;
    QList<QUrl> opened;
    const auto previous = frmConfig::openUrl();
    frmConfig::openUrl() = [&opened](const QUrl& url) { opened << url; };
    frmConfig d(m_window);
    d.show();
    QVERIFY(QTest::qWaitForWindowExposed(&d));
    QTest::mouseClick(d.cmdAGW(2), Qt::LeftButton);
    frmConfig::openUrl() = previous;
    QCOMPARE(opened, QList<QUrl>({QUrl::fromLocalFile(dir.file(QStringLiteral("help.html")))}));
    QCOMPARE(dir.logEntries(), QStringList()); // a page that is not there is not reported
}

QTEST_MAIN(TestFrmConfig)
#include "tst_gui_frmconfig.moc"
