// The main window: its built-in layout, the resize rule, the monitor lists as the gateway feeds
// them, start-up's title, closing with its question, and the Configure entry.
#include "config/ErrorLog.h"
#include "config/Settings.h"
#include "net/UnixSystem.h"
#include "relay/SessionTable.h"
#include "support/Fakes.h"
#include "support/TestUtil.h"
#include "ui/MainWindow.h"
#include "ui/SettingsDialog.h"

#include <QAction>
#include <QApplication>
#include <QLabel>
#include <QLineEdit>
#include <QListView>
#include <QMenuBar>
#include <QPlainTextEdit>
#include <QScreen>
#include <QtTest>
#include <csignal>

namespace {

// A window with its own settings, log and directory, on sockets that never get anywhere:
// connecting stays connecting.
struct Rig {
    TempDir dir;
    Settings settings;
    ErrorLog log{dir.path()};
    FakeSocketPool agwPool, nodePool;
    MainWindow w{settings,          log,
                 dir.path(),        StandInGateway::quickTiming(),
                 agwPool.factory(), nodePool.factory()};

    FakeSocket& agw() { return *agwPool.made.at(0); }
};

QStringList rows(const MainWindow& w, const char* list) {
    const auto* view = w.findChild<QListView*>(QString::fromLatin1(list));
    QStringList out;
    for (int r = 0; r < view->model()->rowCount(); ++r)
        out << view->model()->index(r, 0).data().toString();
    return out;
}

QString lastRow(const MainWindow& w, const char* list) {
    const QStringList r = rows(w, list);
    return r.isEmpty() ? QString() : r.last();
}

int twipsToPixels(double twips) {
    return qRound(twips / agwlayout::kTwipsPerPixel);
}

} // namespace

class tst_gui_mainwindow : public QObject {
    Q_OBJECT
private slots:
    void initTestCase();

    void layoutTable_data();
    void layoutTable();
    void windowLook();

    void resizeRule_data();
    void resizeRule();
    void minimisingKeepsSizes();
    void settingsGeometryOpensWindow_data();
    void settingsGeometryOpensWindow();

    void monitorLists_data();
    void monitorLists();
    void connectedCallsFromTable();
    void statusTextKeepsNewestTail();
    void rowsShowOnOneLine();

    void startupTitle();
    void closing_data();
    void closing();
    void signalWhileAsking();
    void terminationSignal();
    void configureShowsSameDialog();
};

void tst_gui_mainwindow::initTestCase() {
    QApplication::setQuitOnLastWindowClosed(false);
}

void tst_gui_mainwindow::layoutTable_data() {
    QTest::addColumn<int>("i");
    for (int i = 0; i < static_cast<int>(agwlayout::kControls.size()); ++i)
        QTest::newRow(agwlayout::kControls[static_cast<size_t>(i)].name) << i;
}

void tst_gui_mainwindow::layoutTable() {
    QFETCH(int, i);
    using namespace agwlayout;
    const Control& c = kControls[static_cast<size_t>(i)];
    Rig r;
    MainWindow& w = r.w;
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
        // Lists start empty, but for the connected calls' row of slot 0.
        QVERIFY(qobject_cast<QListView*>(widget));
        w.flushMonitor();
        QCOMPARE(rows(w, c.name),
                 QByteArrayView(c.name) == "List3" ? QStringList{QString()} : QStringList());
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

void tst_gui_mainwindow::windowLook() {
    Rig r;
    MainWindow& w = r.w;
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
    // The link up, then failed and a retry by hand between two looks: yellow without Kick.
    w.monitor().healthChanged(LinkHealth::Up);
    w.flushMonitor();
    QCOMPARE(w.backgroundColour(), QApplication::palette().color(QPalette::Button));
    w.monitor().healthChanged(LinkHealth::Failed);
    w.monitor().healthChanged(LinkHealth::Retrying);
    w.flushMonitor();
    QVERIFY(!w.kickAction()->isVisible() && w.backgroundColour() == QColor(255, 255, 0));

    w.show();
    QVERIFY(QTest::qWaitForWindowExposed(&w));
    QCOMPARE(w.centralWidget()->size(), QSize(879, 621));
}

void tst_gui_mainwindow::resizeRule_data() {
    QTest::addColumn<double>("height");
    QTest::addColumn<double>("width");
    QTest::addColumn<int>("steps");
    QTest::addColumn<double>("trafficHeight");
    QTest::addColumn<double>("sentHeight");
    QTest::addColumn<double>("sentWidth");
    QTest::newRow("6000 x 14000") << 6000.0 << 14000.0 << 3 << 3500.0 << 5175.0 << 5150.0;
    QTest::newRow("all three at zero") << 2500.0 << 8850.0 << 3 << 0.0 << 1675.0 << 0.0;
    QTest::newRow("too narrow stops at step 3") << 4000.0 << 8000.0 << 2 << 1500.0 << 3175.0 << 0.0;
    QTest::newRow("too low stops at step 1") << 2000.0 << 14000.0 << 0 << 0.0 << 0.0 << 0.0;
}

void tst_gui_mainwindow::resizeRule() {
    QFETCH(double, height);
    QFETCH(double, width);
    QFETCH(int, steps);
    QFETCH(double, trafficHeight);
    QFETCH(double, sentHeight);
    QFETCH(double, sentWidth);

    const agwlayout::ResizeResult result = agwlayout::resizeRule(height, width, 8640);
    QCOMPARE(result.steps, steps);
    if (steps >= 1) QCOMPARE(result.trafficHeight, trafficHeight);
    if (steps >= 2) QCOMPARE(result.sentHeight, sentHeight);
    if (steps >= 3) QCOMPARE(result.sentWidth, sentWidth);

    // The window applies it to its outer frame; a refused step leaves that list as it was.
    Rig r;
    MainWindow& w = r.w;
    w.show();
    QVERIFY(QTest::qWaitForWindowExposed(&w));
    auto* traffic = w.findChild<QListView*>(QStringLiteral("List1"));
    auto* sent = w.findChild<QListView*>(QStringLiteral("List4"));
    w.setGeometry(WindowFrame::Height, 9000);
    w.setGeometry(WindowFrame::Width, 15000);
    QTest::qWait(10);
    const QSize trafficBefore = traffic->size();
    const QSize sentBefore = sent->size();
    w.setGeometry(WindowFrame::Height, height);
    w.setGeometry(WindowFrame::Width, width);
    QTest::qWait(10);
    const QRect outer = w.frameGeometry();
    if (qAbs(outer.height() * 15 - height) > 15 || qAbs(outer.width() * 15 - width) > 15)
        QSKIP("the platform does not give the window this size");
    QCOMPARE(traffic->height(), steps >= 1 ? twipsToPixels(trafficHeight) : trafficBefore.height());
    QCOMPARE(sent->height(), steps >= 2 ? twipsToPixels(sentHeight) : sentBefore.height());
    QVERIFY(qAbs(sent->width() - (steps >= 3 ? twipsToPixels(sentWidth) : sentBefore.width())) <=
            1);
    QCOMPARE(r.dir.logEntries(), QStringList());
}

void tst_gui_mainwindow::minimisingKeepsSizes() {
    Rig r;
    MainWindow& w = r.w;
    w.show();
    QVERIFY(QTest::qWaitForWindowExposed(&w));
    auto* traffic = w.findChild<QListView*>(QStringLiteral("List1"));
    auto* sent = w.findChild<QListView*>(QStringLiteral("List4"));
    const QSize trafficBefore = traffic->size();
    const QSize sentBefore = sent->size();
    w.showMinimized();
    QTest::qWait(20);
    QVERIFY(w.isMinimised());
    w.applyResizeRule();
    QCOMPARE(traffic->size(), trafficBefore);
    QCOMPARE(sent->size(), sentBefore);
    QVERIFY(!QFile::exists(r.dir.file(QStringLiteral("error.log"))));
}

void tst_gui_mainwindow::settingsGeometryOpensWindow_data() {
    QTest::addColumn<int>("top");
    QTest::addColumn<int>("left");
    QTest::addColumn<bool>("kept");
    QTest::newRow("on the screen") << 1500 << 3000 << true;
    QTest::newRow("partly off the screen") << 1500 << 9000 << true;
    QTest::newRow("left of every screen") << 1500 << -30000 << false;
    QTest::newRow("below every screen") << 150000 << 3000 << false;
    QTest::newRow("above and right of every screen") << -90000 << 90000 << false;
}

void tst_gui_mainwindow::settingsGeometryOpensWindow() {
    QFETCH(int, top);
    QFETCH(int, left);
    QFETCH(bool, kept);
    Rig r;
    MainWindow& w = r.w;
    r.dir.write(QStringLiteral("pktgate.cfg"), "\"Top\"," + QByteArray::number(top) +
                                                   "\r\n\"Left\"," + QByteArray::number(left) +
                                                   "\r\n\"Height\",7500\r\n\"Width\",12000\r\n");
    w.start();
    w.show();
    QVERIFY(QTest::qWaitForWindowExposed(&w));
    // The file holds the outer frame: it opens at that place and size, whatever the frame, unless
    // that place is off every screen (a monitor unplugged since): then it comes onto the screen.
    if (kept) {
        QTRY_COMPARE(w.frameGeometry(), QRect(left / 15, top / 15, 800, 500));
    } else {
        const QRect screen = QGuiApplication::primaryScreen()->availableGeometry();
        QTRY_VERIFY(screen.contains(w.frameGeometry()));
        QCOMPARE(w.frameGeometry().size(), QSize(800, 500));
    }
    QCOMPARE(w.geometry(WindowFrame::Height), 7500.0);
    QCOMPARE(w.findChild<QListView*>(QStringLiteral("List1"))->height(), 5000 / 15);
    QCOMPARE(w.findChild<QListView*>(QStringLiteral("List4"))->size(),
             QSize((12000 - 8640 - 210) / 15, (7500 - 825) / 15));
}

void tst_gui_mainwindow::monitorLists_data() {
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

void tst_gui_mainwindow::monitorLists() {
    QFETCH(QString, list);
    QFETCH(int, adds);
    QFETCH(int, flushEvery);
    QFETCH(int, expectedRows);
    QFETCH(int, firstKept);

    Rig r;
    MainWindow& w = r.w;
    Monitor& m = w.monitor();
    // Each list shows its rows in its own words.
    const auto shownAs = [&](int i) {
        const QString text = QStringLiteral("row %1").arg(i);
        if (list == QLatin1String("List1")) return QStringLiteral("N0USR :D -> ") + text;
        if (list == QLatin1String("List4")) return QStringLiteral("3 -> ") + text;
        return text;
    };
    for (int i = 0; i < adds; ++i) {
        const QByteArray row = "row " + QByteArray::number(i);
        if (list == QLatin1String("List1")) {
            m.textToNode("N0USR", 'D', row);
        } else if (list == QLatin1String("List4")) {
            m.textToUser(3, row);
        } else {
            m.routeSeen(row);
        }
        if (flushEvery && (i + 1) % flushEvery == 0) w.flushMonitor();
    }
    w.flushMonitor();
    const QStringList shown = rows(w, list.toLatin1().constData());
    QCOMPARE(shown.size(), expectedRows);
    QCOMPARE(shown.first(), shownAs(firstKept));
    QCOMPARE(shown.last(), shownAs(adds - 1));

    // Changes also reach the view by themselves, shortly after.
    m.textToNode("N0USR", 'D', "late");
    m.textToUser(3, "late");
    QTRY_COMPARE(lastRow(w, "List1"), QStringLiteral("N0USR :D -> late"));
    QCOMPARE(lastRow(w, "List4"), QStringLiteral("3 -> late"));
    QVERIFY(rows(w, "List1").size() <= 100);
    QVERIFY(rows(w, "List4").size() <= 1001);

    // A row of bulk text is kept short, so a full list stays small.
    m.textToUser(3, QByteArray(100000, 'x'));
    m.textToNode("N0USR", 'D', QByteArray(100000, 'y'));
    w.flushMonitor();
    QVERIFY(lastRow(w, "List4").size() < 2100);
    QCOMPARE(lastRow(w, "List1"),
             (QStringLiteral("N0USR :D -> ") + QString(300, QLatin1Char('y'))).left(300));
}

void tst_gui_mainwindow::connectedCallsFromTable() {
    Rig r;
    MainWindow& w = r.w;
    Gateway& g = w.gateway();
    g.onOwnThread([&g] { g.sessions().setNodeAddress({QStringLiteral("127.0.0.1"), 8000}); });
    // The table is the relay thread's.
    const auto open = [&g](auto c, int p) { g.onOwnThread([&] { g.sessions().open(c, p); }); };
    open("N0CALL", 0);
    open("G4ABC", 1);
    w.flushMonitor();
    QCOMPARE(rows(w, "List3"), QStringList({"", "N0CALL", "G4ABC"}));

    g.onOwnThread([&g] { g.sessions().at(1)->end(Session::End::UserLeft); });
    w.flushMonitor();
    QCOMPARE(rows(w, "List3"), QStringList({"", " *gone*", "G4ABC"}));

    // The freed slot is taken again; a third user makes the table grow.
    open("K1XYZ", 0);
    open("M0NEW", 0);
    w.flushMonitor();
    QCOMPARE(rows(w, "List3"), QStringList({"", "K1XYZ", "G4ABC", "M0NEW"}));
}

void tst_gui_mainwindow::statusTextKeepsNewestTail() {
    Rig r;
    MainWindow& w = r.w;
    Monitor& m = w.monitor();
    auto* status = w.findChild<QPlainTextEdit*>(QStringLiteral("Text1"));

    m.statusChanged(QStringLiteral("Winsock.Connect"));
    m.statusAppended(QStringLiteral(" Len=36"));
    w.flushMonitor();
    QCOMPARE(status->toPlainText(), QStringLiteral("Winsock.Connect Len=36"));

    QString all;
    for (int i = 0; i < 20000; ++i) {
        const QString piece = QStringLiteral("%1;").arg(i);
        all += piece;
        m.statusAppended(piece);
        if (i == 9000) w.flushMonitor();
    }
    w.flushMonitor();
    QCOMPARE(status->toPlainText().size(), MainWindow::kStatusMax);
    QVERIFY(status->toPlainText() == all.right(MainWindow::kStatusMax));

    m.statusChanged(QStringLiteral("fresh"));
    w.flushMonitor();
    QCOMPARE(status->toPlainText(), QStringLiteral("fresh"));
}

void tst_gui_mainwindow::rowsShowOnOneLine() {
    // Radio text carries CR, LF and other control bytes; every row stays one line high, and the
    // symbols that stand for them are in DejaVu Sans (U+2400's Control Pictures are in no font
    // a stock desktop has).
    Rig r;
    MainWindow& w = r.w;
    Monitor& m = w.monitor();
    const QString row = QStringLiteral("G4ABC :D -> sh/dx\r\n\x01\t\x7f");
    m.textToNode("G4ABC", 'D', "sh/dx\r\n\x01\t\x7f");
    m.textToUser(1, "G4ABC :D -> sh/dx\r\n\x01\t\x7f");
    w.flushMonitor();
    const auto* traffic = w.findChild<QListView*>(QStringLiteral("List1"))->model();
    QCOMPARE(traffic->index(0, 0).data().toString(),
             QStringLiteral("G4ABC :D -> sh/dx\u21b5\u2193\ufffd\u2192\ufffd"));
    QCOMPARE(traffic->index(0, 0).data(Qt::UserRole).toString(), row);
    QCOMPARE(lastRow(w, "List4"),
             QStringLiteral("1 -> G4ABC :D -> sh/dx\u21b5\u2193\ufffd\u2192\ufffd"));
}

void tst_gui_mainwindow::startupTitle() {
    Rig r;
    MainWindow& w = r.w;
    w.start();
    QCOMPARE(w.windowTitle(), QStringLiteral("AGW - Tarn Cluster 1.023C "));
    QCOMPARE(w.findChild<QLineEdit*>(QStringLiteral("BytesCount"))->text(), QStringLiteral("0"));
    QCOMPARE(r.agw().state(), int(Socket::Connecting));
    QCOMPARE(r.agw().remotePort(), quint16(8000));
    const QStringList log = r.dir.logEntries();
    QCOMPARE(log.size(), 2);
    QVERIFY(log[0].startsWith(QStringLiteral("Program Started ")));
    QVERIFY(log[1].startsWith(QStringLiteral("Open files limit ")));
}

void tst_gui_mainwindow::closing_data() {
    QTest::addColumn<int>("reason");
    QTest::addColumn<bool>("answerYes");
    QTest::addColumn<bool>("saved");
    QTest::addColumn<bool>("asked");
    QTest::addColumn<bool>("closed");
    QTest::newRow("close box, No") << int(MainWindow::ByUser) << false << true << true << false;
    QTest::newRow("close box, Yes") << int(MainWindow::ByUser) << true << true << true << true;
    QTest::newRow("program") << int(MainWindow::ByCode) << false << false << false << true;
    QTest::newRow("session ends") << int(MainWindow::BySession) << false << false << false << true;
    QTest::newRow("signal") << int(MainWindow::ByTaskManager) << false << false << false << true;
}

void tst_gui_mainwindow::closing() {
    QFETCH(int, reason);
    QFETCH(bool, answerYes);
    QFETCH(bool, saved);
    QFETCH(bool, asked);
    QFETCH(bool, closed);

    Rig r;
    MainWindow& w = r.w;
    w.start();
    w.show();
    QVERIFY(QTest::qWaitForWindowExposed(&w));
    w.showSettingsDialog();
    QPointer<SettingsDialog> dialog = w.settingsDialog();
    QVERIFY(dialog && dialog->isVisible());
    QFile::remove(r.dir.file(QStringLiteral("error.log")));

    int questions = 0;
    bool savedBeforeQuestion = false;
    w.askToEnd = [&] {
        ++questions;
        savedBeforeQuestion = QFile::exists(r.dir.file(QStringLiteral("pktgate.cfg")));
        return answerYes;
    };
    const int closesBefore = r.agw().closes;
    w.closeWithReason(reason);

    QCOMPARE(questions, asked ? 1 : 0);
    if (asked) QVERIFY(savedBeforeQuestion);
    QCOMPARE(QFile::exists(r.dir.file(QStringLiteral("pktgate.cfg"))), saved);
    QCOMPARE(w.isVisible(), !closed);
    QCOMPARE(dialog && dialog->isVisible(), !closed);
    QCOMPARE(r.agw().closes > closesBefore, closed);
    const QStringList log = r.dir.logEntries();
    QCOMPARE(log.size(), closed ? 1 : 0);
    if (closed) QVERIFY(log[0].startsWith(QStringLiteral("Program terminated ")));
}

void tst_gui_mainwindow::signalWhileAsking() {
    // The desktop session ends while the close question is shown: one orderly end, logged once.
    Rig r;
    MainWindow& w = r.w;
    w.show();
    QVERIFY(QTest::qWaitForWindowExposed(&w));
    w.askToEnd = [&w] {
        w.closeWithReason(MainWindow::BySession);
        return false;
    };
    w.closeWithReason(MainWindow::ByUser);
    QTRY_VERIFY(!w.isVisible());
    QTest::qWait(20);
    QCOMPARE(r.dir.logEntries().filter(QStringLiteral("Program terminated")).size(), 1);
}

void tst_gui_mainwindow::terminationSignal() {
#ifndef Q_OS_UNIX
    QSKIP("Unix signals only");
#else
    Rig r;
    MainWindow& w = r.w;
    w.start();
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
            [&w](int) { w.closeWithReason(MainWindow::ByTaskManager); });
    ::raise(SIGTERM);
    QTRY_VERIFY(!w.isVisible());
    QCOMPARE(questions, 0);
    QVERIFY(!QFile::exists(r.dir.file(QStringLiteral("pktgate.cfg"))));
    QCOMPARE(r.dir.logEntries().filter(QStringLiteral("Program terminated")).size(), 1);
#endif
}

void tst_gui_mainwindow::configureShowsSameDialog() {
    using settingslayout::AgwIp;
    Rig r;
    MainWindow& w = r.w;
    r.settings.agwIp = QStringLiteral("10.0.0.1");
    w.show();
    QVERIFY(QTest::qWaitForWindowExposed(&w));

    w.showSettingsDialog();
    QPointer<SettingsDialog> first = w.settingsDialog();
    QVERIFY(first && first->isVisible());
    QVERIFY(!first->isModal());
    first->field(AgwIp)->setText(QStringLiteral("unsaved"));

    w.showSettingsDialog();
    QCOMPARE(w.settingsDialog(), first.data());
    QCOMPARE(first->field(AgwIp)->text(), QStringLiteral("unsaved"));

    // Exit forgets the edit; the next Configure loads a fresh dialog from the settings.
    first->exit();
    QVERIFY(!first || !first->isVisible());
    w.showSettingsDialog();
    QVERIFY(w.settingsDialog() != first.data());
    QCOMPARE(w.settingsDialog()->field(AgwIp)->text(), QStringLiteral("10.0.0.1"));
    QTRY_VERIFY(!first);
}

QTEST_MAIN(tst_gui_mainwindow)
#include "tst_gui_mainwindow.moc"
