// The main window: its built-in layout, the resize rule, the monitor lists as the gateway feeds
// them, start-up's title, closing with its question, and the Configure entry.
#include "agwlink/AgwFrame.h"
#include "config/Module1.h"
#include "config/frmConfig.h"
#include "net/Failure.h"
#include "net/Platform.h"
#include "streams/StreamTable.h"
#include "support/TestUtil.h"
#include "ui/UnixSystem.h"
#include "ui/frmAGW.h"

#include <QAction>
#include <QApplication>
#include <QLabel>
#include <QLineEdit>
#include <QListView>
#include <QMenuBar>
#include <QPlainTextEdit>
#include <QtTest>
#include <csignal>

namespace {

// A socket that never gets anywhere: connecting stays connecting.
class IdleSocket : public Socket {
public:
    void connectToHost() override { m_state = Connecting; }
    void close() override {
        m_state = Closed;
        ++closes;
    }
    void send(const QByteArray&) override { throw Failure(QStringLiteral("not connected")); }
    qint64 bytesAvailable() const override { return 0; }
    QByteArray readAll() override { return {}; }
    qint64 bytesToWrite() const override { return 0; }
    int state() const override { return m_state; }

    int closes = 0;

private:
    int m_state = Closed;
};

SocketFactory idleSockets(IdleSocket** last = nullptr) {
    return [last] {
        auto s = std::make_unique<IdleSocket>();
        if (last) *last = s.get();
        return std::unique_ptr<Socket>(std::move(s));
    };
}

QStringList rows(const frmAGW& w, const char* list) {
    const auto* view = w.findChild<QListView*>(QString::fromLatin1(list));
    QStringList out;
    for (int r = 0; r < view->model()->rowCount(); ++r)
        out << view->model()->index(r, 0).data().toString();
    return out;
}

QString lastRow(const frmAGW& w, const char* list) {
    const QStringList r = rows(w, list);
    return r.isEmpty() ? QString() : r.last();
}

int twipsToPixels(double twips) {
    return qRound(twips / agwlayout::kTwipsPerPixel);
}

void resetSettings() {
    Module1::settings() = Module1::Settings();
}

} // namespace

class TestFrmAgw : public QObject {
    Q_OBJECT
private slots:
    void initTestCase();
    void init();

    void layoutTable_data();
    void layoutTable();
    void windowLook();

    void resizeRule_data();
    void resizeRule();
    void minimisingKeepsSizes();
    void settingsGeometryOpensWindow();

    void monitorLists_data();
    void monitorLists();
    void connectedCallsFromTable();
    void text1KeepsNewestTail();
    void rowsShowOnOneLine();

    void startupTitle();
    void closing_data();
    void closing();
    void signalWhileAsking();
    void terminationSignal();
    void configureShowsSameDialog();
};

void TestFrmAgw::initTestCase() {
    QApplication::setQuitOnLastWindowClosed(false);
    platform::timing().connectSleepMs = 0;
}

void TestFrmAgw::init() {
    resetSettings();
}

void TestFrmAgw::layoutTable_data() {
    QTest::addColumn<int>("i");
    for (int i = 0; i < static_cast<int>(agwlayout::kControls.size()); ++i)
        QTest::newRow(agwlayout::kControls[static_cast<size_t>(i)].name) << i;
}

void TestFrmAgw::layoutTable() {
    QFETCH(int, i);
    using namespace agwlayout;
    const Control& c = kControls[static_cast<size_t>(i)];
    frmAGW w(idleSockets(), idleSockets());
    QWidget* widget = w.centralWidget()->findChild<QWidget*>(QString::fromLatin1(c.name));
    QVERIFY(widget);
    QCOMPARE(widget->parentWidget(), w.centralWidget());

    const QRect g = widget->geometry();
    QCOMPARE(g.topLeft(), QPoint(px(c.left), px(c.top)));
    QCOMPARE(g.height(), px(c.height));
    if (c.kind == Kind::Label)
        QVERIFY(g.width() >= px(c.width)); // a caption wider than its box widens it
    else
        QCOMPARE(g.width(), px(c.width));

    const QString text = QString::fromLatin1(c.text);
    switch (c.kind) {
    case Kind::Label:
        QCOMPARE(qobject_cast<QLabel*>(widget)->text(), text);
        break;
    case Kind::TextBox: {
        auto* e = qobject_cast<QLineEdit*>(widget);
        QVERIFY(e);
        QCOMPARE(e->text(), text);
        QCOMPARE(e->alignment() & Qt::AlignHCenter, c.centred ? Qt::AlignHCenter : Qt::Alignment());
        break;
    }
    case Kind::MultiLine:
        QCOMPARE(qobject_cast<QPlainTextEdit*>(widget)->toPlainText(), text);
        break;
    case Kind::List:
        QVERIFY(qobject_cast<QListView*>(widget));
        QCOMPARE(qobject_cast<QListView*>(widget)->model()->rowCount(), 0);
        break;
    }
    const QColor base = widget->palette().color(QPalette::Base);
    if (c.colour == Colour::LightGreen) QCOMPARE(base, QColor(192, 255, 192));
    if (c.colour == Colour::LightCyan) QCOMPARE(base, QColor(192, 255, 255));
    if (c.colour == Colour::Default) QCOMPARE(base, QApplication::palette().color(QPalette::Base));
    QCOMPARE(widget->toolTip(), QString::fromLatin1(c.toolTip));
    if (c.arial) {
        QCOMPARE(widget->font().pointSizeF(), 10.5);
        QVERIFY(!widget->font().bold());
    }
}

void TestFrmAgw::windowLook() {
    frmAGW w(idleSockets(), idleSockets());
    QCOMPARE(w.windowTitle(), QStringLiteral("AGW - Tarn Cluster"));
    QCOMPARE(w.backgroundColour(), QColor(255, 255, 192));

    // Two entries straight on the menu bar, no submenus; Kick visible at creation.
    const QList<QAction*> entries = w.menuBar()->actions();
    QCOMPARE(entries.size(), 2);
    QCOMPARE(entries[0]->objectName(), QStringLiteral("configure"));
    QCOMPARE(entries[0]->text(), QStringLiteral("Configure"));
    QCOMPARE(entries[1]->objectName(), QStringLiteral("kick"));
    QCOMPARE(entries[1]->text(), QStringLiteral("Kick"));
    for (QAction* a : entries)
        QVERIFY(!a->menu());
    QVERIFY(w.kickAction()->isVisible());

    w.show();
    QVERIFY(QTest::qWaitForWindowExposed(&w));
    QCOMPARE(w.centralWidget()->size(), QSize(879, 621));
}

void TestFrmAgw::resizeRule_data() {
    QTest::addColumn<double>("height");
    QTest::addColumn<double>("width");
    QTest::addColumn<int>("steps");
    QTest::addColumn<double>("list1Height");
    QTest::addColumn<double>("list4Height");
    QTest::addColumn<double>("list4Width");
    QTest::newRow("6000 x 14000") << 6000.0 << 14000.0 << 3 << 3500.0 << 5175.0 << 5150.0;
    QTest::newRow("all three at zero") << 2500.0 << 8850.0 << 3 << 0.0 << 1675.0 << 0.0;
    QTest::newRow("too narrow stops at step 3") << 4000.0 << 8000.0 << 2 << 1500.0 << 3175.0 << 0.0;
    QTest::newRow("too low stops at step 1") << 2000.0 << 14000.0 << 0 << 0.0 << 0.0 << 0.0;
}

void TestFrmAgw::resizeRule() {
    QFETCH(double, height);
    QFETCH(double, width);
    QFETCH(int, steps);
    QFETCH(double, list1Height);
    QFETCH(double, list4Height);
    QFETCH(double, list4Width);

    const agwlayout::ResizeResult r = agwlayout::resizeRule(height, width, 8640);
    QCOMPARE(r.steps, steps);
    if (steps >= 1) QCOMPARE(r.list1Height, list1Height);
    if (steps >= 2) QCOMPARE(r.list4Height, list4Height);
    if (steps >= 3) QCOMPARE(r.list4Width, list4Width);

    // The window applies it to its outer frame; a refused step leaves that list as it was.
    TempAppDir dir;
    frmAGW w(idleSockets(), idleSockets());
    w.show();
    QVERIFY(QTest::qWaitForWindowExposed(&w));
    auto* list1 = w.findChild<QListView*>(QStringLiteral("List1"));
    auto* list4 = w.findChild<QListView*>(QStringLiteral("List4"));
    w.setGeometry(WindowGeometry::Height, 9000);
    w.setGeometry(WindowGeometry::Width, 15000);
    QTest::qWait(10);
    const QSize list1Before = list1->size();
    const QSize list4Before = list4->size();
    w.setGeometry(WindowGeometry::Height, height);
    w.setGeometry(WindowGeometry::Width, width);
    QTest::qWait(10);
    const QRect outer = w.frameGeometry();
    if (qAbs(outer.height() * 15 - height) > 15 || qAbs(outer.width() * 15 - width) > 15)
        QSKIP("the platform does not give the window this size");
    QCOMPARE(list1->height(), steps >= 1 ? twipsToPixels(list1Height) : list1Before.height());
    QCOMPARE(list4->height(), steps >= 2 ? twipsToPixels(list4Height) : list4Before.height());
    QVERIFY(qAbs(list4->width() - (steps >= 3 ? twipsToPixels(list4Width) : list4Before.width())) <=
            1);
    QCOMPARE(dir.logEntries(), QStringList());
}

void TestFrmAgw::minimisingKeepsSizes() {
    TempAppDir dir;
    frmAGW w(idleSockets(), idleSockets());
    w.show();
    QVERIFY(QTest::qWaitForWindowExposed(&w));
    auto* list1 = w.findChild<QListView*>(QStringLiteral("List1"));
    auto* list4 = w.findChild<QListView*>(QStringLiteral("List4"));
    const QSize list1Before = list1->size();
    const QSize list4Before = list4->size();
    w.showMinimized();
    QTest::qWait(20);
    QVERIFY(w.isMinimised());
    w.Form_Resize();
    QCOMPARE(list1->size(), list1Before);
    QCOMPARE(list4->size(), list4Before);
    QVERIFY(!QFile::exists(dir.file(QStringLiteral("error.log"))));
}

void TestFrmAgw::settingsGeometryOpensWindow() {
    TempAppDir dir;
    dir.write(QStringLiteral("pktgate.cfg"), "\"Top\",1500\r\n\"Left\",3000\r\n"
                                             "\"Height\",7500\r\n\"Width\",12000\r\n");
    frmAGW w(idleSockets(), idleSockets());
    w.Form_Load();
    w.show();
    QVERIFY(QTest::qWaitForWindowExposed(&w));
    // The file holds the outer frame: it opens at that place and size, whatever the frame.
    QTRY_COMPARE(w.frameGeometry(), QRect(200, 100, 800, 500));
    QCOMPARE(w.geometry(WindowGeometry::Height), 7500.0);
    QCOMPARE(w.findChild<QListView*>(QStringLiteral("List1"))->height(), 5000 / 15);
    QCOMPARE(w.findChild<QListView*>(QStringLiteral("List4"))->size(),
             QSize((12000 - 8640 - 210) / 15, (7500 - 825) / 15));
}

void TestFrmAgw::monitorLists_data() {
    QTest::addColumn<QString>("list");
    QTest::addColumn<int>("adds");
    QTest::addColumn<int>("flushEvery"); // 0: once at the end
    QTest::addColumn<int>("expectedRows");
    QTest::addColumn<int>("firstKept");
    QTest::newRow("List1 100 of 101") << "List1" << 101 << 0 << 100 << 1;
    QTest::newRow("List1 100 of 250, shown on the way") << "List1" << 250 << 30 << 100 << 150;
    QTest::newRow("List1 under the cap") << "List1" << 60 << 7 << 60 << 0;
    QTest::newRow("List4 1001 of 1001") << "List4" << 1001 << 0 << 1001 << 0;
    QTest::newRow("List4 1001 of 1002") << "List4" << 1002 << 0 << 1001 << 1;
    QTest::newRow("List4 1001 of 3000, shown on the way") << "List4" << 3000 << 450 << 1001 << 1999;
    QTest::newRow("List2 keeps all") << "List2" << 1500 << 400 << 1500 << 0;
}

void TestFrmAgw::monitorLists() {
    QFETCH(QString, list);
    QFETCH(int, adds);
    QFETCH(int, flushEvery);
    QFETCH(int, expectedRows);
    QFETCH(int, firstKept);

    frmAGW w(idleSockets(), idleSockets());
    Monitor& m = w;
    for (int i = 0; i < adds; ++i) {
        const QString row = QStringLiteral("row %1").arg(i);
        if (list == QLatin1String("List1")) {
            m.addTraffic(row);
        } else if (list == QLatin1String("List4")) {
            m.addSent(row);
        } else {
            m.addKindLine(row);
        }
        if (flushEvery && (i + 1) % flushEvery == 0) w.flushMonitor();
    }
    w.flushMonitor();
    const QStringList shown = rows(w, list.toLatin1().constData());
    QCOMPARE(shown.size(), expectedRows);
    QCOMPARE(shown.first(), QStringLiteral("row %1").arg(firstKept));
    QCOMPARE(shown.last(), QStringLiteral("row %1").arg(adds - 1));

    // Changes also reach the view by themselves, shortly after.
    m.addTraffic(QStringLiteral("late"));
    m.addSent(QStringLiteral("late"));
    QTRY_COMPARE(lastRow(w, "List1"), QStringLiteral("late"));
    QCOMPARE(lastRow(w, "List4"), QStringLiteral("late"));
    QVERIFY(rows(w, "List1").size() <= 100);
    QVERIFY(rows(w, "List4").size() <= 1001);

    // A row of bulk text is kept short, so a full list stays small.
    m.addSent(QString(100000, QLatin1Char('x')));
    m.addTraffic(QString(100000, QLatin1Char('y')));
    w.flushMonitor();
    QVERIFY(lastRow(w, "List4").size() < 2100);
    QCOMPARE(lastRow(w, "List1"), QString(300, QLatin1Char('y')));
}

void TestFrmAgw::connectedCallsFromTable() {
    frmAGW w(idleSockets(), idleSockets());
    StreamTable& table = w.gateway().streams();
    table.open("N0CALL", 0);
    table.open("G4ABC", 1);
    w.flushMonitor();
    QCOMPARE(rows(w, "List3"), QStringList({"", "N0CALL", "G4ABC"}));

    table.release(1);
    table.refreshList3();
    w.flushMonitor();
    QCOMPARE(rows(w, "List3"), QStringList({"", " *gone*", "G4ABC"}));

    // The freed slot is taken again; a third user makes the table grow.
    table.open("K1XYZ", 0);
    table.open("M0NEW", 0);
    w.flushMonitor();
    QCOMPARE(rows(w, "List3"), QStringList({"", "K1XYZ", "G4ABC", "M0NEW"}));
}

void TestFrmAgw::text1KeepsNewestTail() {
    frmAGW w(idleSockets(), idleSockets());
    Monitor& m = w;
    auto* text1 = w.findChild<QPlainTextEdit*>(QStringLiteral("Text1"));

    m.setText1(QStringLiteral("Winsock.Connect"));
    m.appendText1(QStringLiteral(" Len=36"));
    w.flushMonitor();
    QCOMPARE(text1->toPlainText(), QStringLiteral("Winsock.Connect Len=36"));

    QString all;
    for (int i = 0; i < 20000; ++i) {
        const QString piece = QStringLiteral("%1;").arg(i);
        all += piece;
        m.appendText1(piece);
        if (i == 9000) w.flushMonitor();
    }
    w.flushMonitor();
    QCOMPARE(text1->toPlainText().size(), frmAGW::kText1Max);
    QVERIFY(text1->toPlainText() == all.right(frmAGW::kText1Max));

    m.setText1(QStringLiteral("fresh"));
    w.flushMonitor();
    QCOMPARE(text1->toPlainText(), QStringLiteral("fresh"));
}

void TestFrmAgw::rowsShowOnOneLine() {
    // Radio text carries CR, LF and other control bytes; every row stays one line high.
    frmAGW w(idleSockets(), idleSockets());
    Monitor& m = w;
    const QString row = QStringLiteral("G4ABC :D -> sh/dx\r\n\x01");
    m.addTraffic(row);
    m.addSent(QStringLiteral("1 -> ") + row);
    w.flushMonitor();
    const auto* list1 = w.findChild<QListView*>(QStringLiteral("List1"))->model();
    QCOMPARE(list1->index(0, 0).data().toString(),
             QStringLiteral("G4ABC :D -> sh/dx\u240d\u240a\u2401"));
    QCOMPARE(list1->index(0, 0).data(Qt::UserRole).toString(), row);
    QCOMPARE(lastRow(w, "List4"), QStringLiteral("1 -> G4ABC :D -> sh/dx\u240d\u240a\u2401"));
}

void TestFrmAgw::startupTitle() {
    TempAppDir dir;
    IdleSocket* agw = nullptr;
    frmAGW w(idleSockets(&agw), idleSockets());
    w.Form_Load();
    QCOMPARE(w.windowTitle(), QStringLiteral("AGW - Tarn Cluster 1.023C "));
    QCOMPARE(w.findChild<QLineEdit*>(QStringLiteral("BytesCount"))->text(), QStringLiteral("0"));
    QCOMPARE(agw->state(), int(Socket::Connecting));
    QCOMPARE(agw->remotePort, quint16(8000));
    const QStringList log = dir.logEntries();
    QCOMPARE(log.size(), 1);
    QVERIFY(log[0].startsWith(QStringLiteral("Program Started ")));
}

void TestFrmAgw::closing_data() {
    QTest::addColumn<int>("reason");
    QTest::addColumn<bool>("answerYes");
    QTest::addColumn<bool>("saved");
    QTest::addColumn<bool>("asked");
    QTest::addColumn<bool>("closed");
    QTest::newRow("close box, No") << int(frmAGW::ByUser) << false << true << true << false;
    QTest::newRow("close box, Yes") << int(frmAGW::ByUser) << true << true << true << true;
    QTest::newRow("program") << int(frmAGW::ByCode) << false << false << false << true;
    QTest::newRow("session ends") << int(frmAGW::BySession) << false << false << false << true;
    QTest::newRow("signal") << int(frmAGW::ByTaskManager) << false << false << false << true;
}

void TestFrmAgw::closing() {
    QFETCH(int, reason);
    QFETCH(bool, answerYes);
    QFETCH(bool, saved);
    QFETCH(bool, asked);
    QFETCH(bool, closed);

    TempAppDir dir;
    IdleSocket* agw = nullptr;
    frmAGW w(idleSockets(&agw), idleSockets());
    w.Form_Load();
    w.show();
    QVERIFY(QTest::qWaitForWindowExposed(&w));
    w.configure_Click();
    QPointer<frmConfig> dialog = w.configDialog();
    QVERIFY(dialog && dialog->isVisible());
    QFile::remove(dir.file(QStringLiteral("error.log")));

    int questions = 0;
    bool savedBeforeQuestion = false;
    w.askToEnd = [&] {
        ++questions;
        savedBeforeQuestion = QFile::exists(dir.file(QStringLiteral("pktgate.cfg")));
        return answerYes;
    };
    const int closesBefore = agw->closes;
    w.closeWithReason(reason);

    QCOMPARE(questions, asked ? 1 : 0);
    if (asked) QVERIFY(savedBeforeQuestion);
    QCOMPARE(QFile::exists(dir.file(QStringLiteral("pktgate.cfg"))), saved);
    QCOMPARE(w.isVisible(), !closed);
    QCOMPARE(dialog && dialog->isVisible(), !closed);
    QCOMPARE(agw->closes > closesBefore, closed);
    const QStringList log = dir.logEntries();
    QCOMPARE(log.size(), closed ? 1 : 0);
    if (closed) QVERIFY(log[0].startsWith(QStringLiteral("Program terminated ")));
}

void TestFrmAgw::signalWhileAsking() {
    // The desktop session ends while the close question is shown: one orderly end, logged once.
    TempAppDir dir;
    frmAGW w(idleSockets(), idleSockets());
    w.show();
    QVERIFY(QTest::qWaitForWindowExposed(&w));
    w.askToEnd = [&w] {
        w.closeWithReason(frmAGW::BySession);
        return false;
    };
    w.closeWithReason(frmAGW::ByUser);
    QTRY_VERIFY(!w.isVisible());
    QTest::qWait(20);
    QCOMPARE(dir.logEntries().filter(QStringLiteral("Program terminated")).size(), 1);
}

void TestFrmAgw::terminationSignal() {
#ifndef Q_OS_UNIX
    QSKIP("Unix signals only");
#else
    TempAppDir dir;
    frmAGW w(idleSockets(), idleSockets());
    w.Form_Load();
    w.show();
    QVERIFY(QTest::qWaitForWindowExposed(&w));
    int questions = 0;
    w.askToEnd = [&questions] {
        ++questions;
        return false;
    };
    unixsystem::TerminationSignals termination;
    QVERIFY(termination.active());
    connect(&termination, &unixsystem::TerminationSignals::terminationRequested, &w,
            [&w](int) { w.closeWithReason(frmAGW::ByTaskManager); });
    ::raise(SIGTERM);
    QTRY_VERIFY(!w.isVisible());
    QCOMPARE(questions, 0);
    QVERIFY(!QFile::exists(dir.file(QStringLiteral("pktgate.cfg"))));
    QCOMPARE(dir.logEntries().filter(QStringLiteral("Program terminated")).size(), 1);
#endif
}

void TestFrmAgw::configureShowsSameDialog() {
    TempAppDir dir;
    Module1::settings().AgwIp = QStringLiteral("10.0.0.1");
    frmAGW w(idleSockets(), idleSockets());
    w.show();
    QVERIFY(QTest::qWaitForWindowExposed(&w));

    w.configure_Click();
    QPointer<frmConfig> first = w.configDialog();
    QVERIFY(first && first->isVisible());
    QVERIFY(!first->isModal());
    first->txtCfg(0)->setText(QStringLiteral("unsaved"));

    w.configure_Click();
    QCOMPARE(w.configDialog(), first.data());
    QCOMPARE(first->txtCfg(0)->text(), QStringLiteral("unsaved"));

    // Exit forgets the edit; the next Configure loads a fresh dialog from the settings.
    first->cmdAGW_Click(1);
    QVERIFY(!first || !first->isVisible());
    w.configure_Click();
    QVERIFY(w.configDialog() != first.data());
    QCOMPARE(w.configDialog()->txtCfg(0)->text(), QStringLiteral("10.0.0.1"));
    QTRY_VERIFY(!first);
}

QTEST_MAIN(TestFrmAgw)
#include "tst_gui_frmagw.moc"
