#include "ui/MainWindow.h"

#include "config/ConfigFile.h"
#include "config/ErrorLog.h"
#include "net/Failure.h"
#include "net/Platform.h"
#include "net/SingleByte.h"
#include "relay/RelayThread.h"
#include "ui/ScreenPlacement.h"
#include "ui/SettingsDialog.h"

#include <QAbstractListModel>
#include <QAction>
#include <QApplication>
#include <QCloseEvent>
#include <QLabel>
#include <QLineEdit>
#include <QListView>
#include <QMenuBar>
#include <QMessageBox>
#include <QPainter>
#include <QPlainTextEdit>
#include <QStaticText>
#include <QStyledItemDelegate>
#include <QThread>
#include <cmath>
#include <deque>
#include <utility>

namespace agwlayout {

ResizeResult resizeRule(double outerHeight, double outerWidth, double sentLeft) {
    ResizeResult r;
    r.trafficHeight = outerHeight - 2500;
    if (r.trafficHeight < 0) return r;
    r.steps = 1;
    r.sentHeight = outerHeight - 825;
    if (r.sentHeight < 0) return r;
    r.steps = 2;
    r.sentWidth = outerWidth - sentLeft - 210;
    if (r.sentWidth < 0) return r;
    r.steps = 3;
    return r;
}

} // namespace agwlayout

namespace agwmonitor {

// A row as the lists show it: CR, LF and the other control characters (which the traffic and
// sent-text rows carry from the radio data) become their visible symbols, so every row is one
// line high.
QString oneLine(const QString& row) {
    QString out;
    for (qsizetype i = 0; i < row.size(); ++i) {
        const char16_t c = row[i].unicode();
        if (c >= 0x20 && c != 0x7f) continue;
        if (out.isNull()) out = row;
        out[i] = QChar(c == 0x7f ? char16_t(0x2421) : char16_t(0x2400 + c));
    }
    return out.isNull() ? row : out;
}

// Rows of a monitor list. The window records additions and removals from the front as they
// happen; the view learns of them in one batch when the window refreshes, at a cost of the rows
// that changed, whatever the list's history.
class RowsModel final : public QAbstractListModel {
public:
    static constexpr qsizetype kShownChars = 300;

    using QAbstractListModel::QAbstractListModel;

    int rowCount(const QModelIndex& parent = QModelIndex()) const override {
        return parent.isValid() ? 0 : static_cast<int>(m_shown.size());
    }
    // Qt::DisplayRole shows each row on one line, control characters as visible symbols;
    // Qt::UserRole gives the row as it was added.
    QVariant data(const QModelIndex& index, int role) const override {
        if (!index.isValid() || index.row() >= rowCount()) return {};
        const QString& row = m_shown[static_cast<size_t>(index.row())];
        if (role == Qt::UserRole) return row;
        if (role != Qt::DisplayRole) return {};
        // No list is wide enough to show more; painting a longer row would shape it all.
        return oneLine(row.size() > kShownChars ? row.left(kShownChars) : row);
    }

    // The rows as they are now, shown or not.
    qsizetype size() const {
        return static_cast<qsizetype>(m_shown.size() + m_added.size()) - m_dropped;
    }
    void add(const QString& row) { m_added.push_back(row); }
    // Removes the oldest rows while there are more than max.
    void trimTo(qsizetype max) {
        while (size() > max) {
            if (m_dropped < static_cast<qsizetype>(m_shown.size()))
                ++m_dropped;
            else
                m_added.pop_front();
        }
    }

    // Hands the changes to the views.
    void commit() {
        if (m_dropped > 0) {
            beginRemoveRows(QModelIndex(), 0, static_cast<int>(m_dropped) - 1);
            m_shown.erase(m_shown.begin(), m_shown.begin() + m_dropped);
            m_dropped = 0;
            endRemoveRows();
        }
        if (!m_added.empty()) {
            const int first = static_cast<int>(m_shown.size());
            beginInsertRows(QModelIndex(), first, first + static_cast<int>(m_added.size()) - 1);
            for (QString& row : m_added)
                m_shown.push_back(std::move(row));
            m_added.clear();
            endInsertRows();
        }
    }

private:
    std::deque<QString> m_shown;
    std::deque<QString> m_added; // after m_shown
    qsizetype m_dropped = 0;     // leading rows of m_shown already removed
};

// Paints a list's row on one line, cut off at the list's edge as a list box does, and keeps each
// row's laid-out text from one repaint to the next. A monitor list that scrolls by a few rows
// at each refresh then lays out only the rows that are new, where the toolkit's own painting
// lays out and elides every visible row on every repaint.
class RowDelegate final : public QStyledItemDelegate {
public:
    using QStyledItemDelegate::QStyledItemDelegate;

    void paint(QPainter* painter, const QStyleOptionViewItem& option,
               const QModelIndex& index) const override {
        QStyleOptionViewItem opt = option;
        initStyleOption(&opt, index);
        const QString text = std::exchange(opt.text, QString());
        const QWidget* view = opt.widget;
        QStyle* style = view ? view->style() : QApplication::style();
        // The background, the selection and the focus, without the text.
        style->drawControl(QStyle::CE_ItemViewItem, &opt, painter, view);
        if (text.isEmpty()) return;

        if (opt.font != m_font) {
            m_font = opt.font;
            m_laidOut.clear();
        }
        // A bounded cache: the rows in sight and those that have just scrolled out of it.
        if (m_laidOut.size() > kCachedRows) m_laidOut.clear();
        auto it = m_laidOut.find(text);
        if (it == m_laidOut.end()) {
            QStaticText st(text);
            st.setTextFormat(Qt::PlainText);
            st.prepare(QTransform(), m_font);
            it = m_laidOut.insert(text, st);
        }

        const int margin = style->pixelMetric(QStyle::PM_FocusFrameHMargin, nullptr, view) + 1;
        const QRect textRect = opt.rect.adjusted(margin, 0, -margin, 0);
        const QPalette::ColorGroup group = !(opt.state & QStyle::State_Enabled) ? QPalette::Disabled
                                           : (opt.state & QStyle::State_Active)
                                               ? QPalette::Normal
                                               : QPalette::Inactive;
        painter->save();
        painter->setClipRect(textRect, Qt::IntersectClip);
        painter->setFont(m_font);
        painter->setPen(opt.palette.color(group, (opt.state & QStyle::State_Selected)
                                                     ? QPalette::HighlightedText
                                                     : QPalette::Text));
        const qreal top = textRect.top() + (textRect.height() - it->size().height()) / 2;
        painter->drawStaticText(QPointF(textRect.left(), top), *it);
        painter->restore();
    }

private:
    static constexpr qsizetype kCachedRows = 1024;
    mutable QFont m_font;
    mutable QHash<QString, QStaticText> m_laidOut;
};

// "Connected Calls": one row per slot of the session table, as the relay last reported it. The
// view learns of the changes in one batch when the window refreshes.
class CallsModel final : public QAbstractListModel {
public:
    using QAbstractListModel::QAbstractListModel;

    int rowCount(const QModelIndex& parent = QModelIndex()) const override {
        return parent.isValid() ? 0 : m_shownRows;
    }
    QVariant data(const QModelIndex& index, int role) const override {
        if (role != Qt::DisplayRole || !index.isValid() || index.row() >= m_shownRows) return {};
        return m_rows[index.row()];
    }

    void set(int row, const QString& text) {
        if (row < 0) return;
        if (row >= m_rows.size()) m_rows.resize(row + 1);
        m_rows[row] = text;
    }

    // Hands the changes to the views.
    void commit() {
        const int n = static_cast<int>(m_rows.size());
        if (n > m_shownRows) {
            beginInsertRows(QModelIndex(), m_shownRows, n - 1);
            m_shownRows = n;
            endInsertRows();
        }
        // The views repaint what they show; nothing is read for rows out of sight.
        if (m_shownRows > 0) emit dataChanged(index(0), index(m_shownRows - 1), {Qt::DisplayRole});
    }

private:
    QStringList m_rows; // the rows as reported
    int m_shownRows = 0;
};

} // namespace agwmonitor

using namespace agwlayout;
using agwmonitor::CallsModel;
using agwmonitor::RowsModel;

namespace {

QColor toColour(Rgb c) {
    return QColor(c.r, c.g, c.b);
}

QRect toPixels(const Control& c) {
    return QRect(px(c.left), px(c.top), px(c.width), px(c.height));
}

constexpr qsizetype kTrafficMax = MonitorFeed::kTrafficRows;
// How long, after the window appears, a size from the settings waits for the window frame.
constexpr int kFrameWatchMs = 50;
constexpr int kFrameWatchTicks = 60;
constexpr qsizetype kSentMax = MonitorFeed::kSentRows; // the list keeps one entry more

// The largest window coordinate or size the toolkit takes, in pixels.
constexpr double kMaxPixels = 16777215.0;

} // namespace

MainWindow::MainWindow(Settings& settings, ErrorLog& log, const QString& directory,
                       const Timing& timing, SocketFactory agwSockets, SocketFactory nodeSockets,
                       Relay relay, QWidget* parent)
    : QMainWindow(parent), m_feed([this] {
          // The first change after a look: the window looks again kFlushMs from now.
          if (QThread::currentThread() == thread())
              scheduleFlush();
          else
              QMetaObject::invokeMethod(
                  this, [this] { scheduleFlush(); }, Qt::QueuedConnection);
      }),
      m_settings(settings), m_log(log), m_settingsPath(settingsFilePath(directory)) {
    setObjectName(QStringLiteral("frmAGW"));
    setWindowTitle(QString::fromLatin1(kCaption));

    m_configure = menuBar()->addAction(QStringLiteral("Configure"));
    m_configure->setObjectName(QStringLiteral("configure"));
    m_kick = menuBar()->addAction(QStringLiteral("Kick"));
    m_kick->setObjectName(QStringLiteral("kick"));
    connect(m_configure, &QAction::triggered, this, &MainWindow::showSettingsDialog);
    connect(m_kick, &QAction::triggered, this, &MainWindow::kick);

    m_client = new QWidget(this);
    m_client->setObjectName(QStringLiteral("client"));
    m_client->setAutoFillBackground(true);
    setCentralWidget(m_client);
    setBackground(toColour(kLightYellow));
    buildControls();

    resize(px(kClientWidth), px(kClientHeight) + menuBar()->sizeHint().height());

    m_flushTimer.setSingleShot(true);
    m_flushTimer.setInterval(kFlushMs);
    connect(&m_flushTimer, &QTimer::timeout, this, &MainWindow::flushMonitor);

    askToEnd = [this] { return defaultAskToEnd(); };

    m_frameWatch.setInterval(kFrameWatchMs);
    connect(&m_frameWatch, &QTimer::timeout, this, [this] {
        applyPendingOuterSize();
        if (!m_pendingOuter || ++m_frameWatchTicks >= kFrameWatchTicks) {
            m_pendingOuter.reset();
            m_frameWatch.stop();
        }
    });

    if (relay == Relay::OwnThread) {
        m_relayThread = std::make_unique<RelayThread>(
            settings, log, m_feed, timing, std::move(agwSockets), std::move(nodeSockets));
        m_gateway = &m_relayThread->gateway();
    } else {
        m_ownGateway = std::make_unique<Gateway>(settings, log, m_feed, timing,
                                                 std::move(agwSockets), std::move(nodeSockets));
        m_gateway = m_ownGateway.get();
    }
}

MainWindow::~MainWindow() {
    m_gateway = nullptr;
    m_relayThread.reset();
    m_ownGateway.reset();
}

void MainWindow::buildControls() {
    for (const Control& c : kControls) {
        QWidget* w = nullptr;
        const QString text = QString::fromLatin1(c.text);
        switch (c.kind) {
        case Kind::Label:
            w = new QLabel(text, m_client);
            break;
        case Kind::TextBox: {
            auto* e = new QLineEdit(text, m_client);
            if (c.centred) e->setAlignment(Qt::AlignCenter);
            w = e;
            break;
        }
        case Kind::MultiLine: {
            w = new QPlainTextEdit(text, m_client);
            break;
        }
        case Kind::List: {
            auto* v = new QListView(m_client);
            v->setUniformItemSizes(true);
            v->setItemDelegate(new agwmonitor::RowDelegate(v));
            v->setEditTriggers(QAbstractItemView::NoEditTriggers);
            v->setSelectionMode(QAbstractItemView::SingleSelection);
            w = v;
            break;
        }
        }
        w->setObjectName(QString::fromLatin1(c.name));
        w->setGeometry(toPixels(c));
        // A caption wider than its built-in box (the toolkit's font is larger than the one the
        // layout was drawn for) widens the label to the right instead of being cut off.
        if (c.kind == Kind::Label && w->sizeHint().width() > w->width())
            w->resize(w->sizeHint().width(), w->height());
        if (*c.toolTip) w->setToolTip(QString::fromLatin1(c.toolTip));
        if (c.colour != Colour::Default) {
            QPalette p = w->palette();
            p.setColor(QPalette::Base,
                       toColour(c.colour == Colour::LightGreen ? kLightGreen : kLightCyan));
            w->setPalette(p);
        }
        if (c.arial) {
            QFont f(QStringLiteral("Arial"));
            f.setPointSizeF(10.5);
            f.setStyleHint(QFont::SansSerif);
            f.setWeight(QFont::Normal);
            w->setFont(f);
        }
    }
    const auto line = [this](const char* name) {
        return m_client->findChild<QLineEdit*>(QString::fromLatin1(name));
    };
    const auto list = [this](const char* name) {
        return m_client->findChild<QListView*>(QString::fromLatin1(name));
    };
    m_port = line("Port");
    m_dataKind = line("DataKind");
    m_pid = line("Pid");
    m_callFrom = line("CallFrom");
    m_callTo = line("CallTo");
    m_dataLen = line("DataLen");
    m_bytesSent = line("txtSent");
    m_bytesWaiting = line("txtRemaining");
    m_bytesCount = line("BytesCount");
    m_statusText = m_client->findChild<QPlainTextEdit*>(QStringLiteral("Text1"));
    m_traffic = list("List1");
    m_routes = list("List2");
    m_connectedCalls = list("List3");
    m_sentToRadio = list("List4");

    m_trafficRows = new RowsModel(this);
    m_routeRows = new RowsModel(this);
    m_callRows = new CallsModel(this);
    m_sentRows = new RowsModel(this);
    m_traffic->setModel(m_trafficRows);
    m_routes->setModel(m_routeRows);
    m_connectedCalls->setModel(m_callRows);
    m_sentToRadio->setModel(m_sentRows);
}

void MainWindow::setBackground(const QColor& c) {
    QPalette p = m_client->palette();
    p.setColor(QPalette::Window, c);
    m_client->setPalette(p);
}

SettingsDialog* MainWindow::settingsDialog() const {
    return m_config.data();
}

QColor MainWindow::backgroundColour() const {
    return m_client->palette().color(QPalette::Window);
}

// ---------------------------------------------------------------- start-up, menu, shutdown

void MainWindow::start() {
    startUp(*m_gateway, m_settings, m_settingsPath, m_log, *this);
}

void MainWindow::kick() {
    m_gateway->kick();
}

void MainWindow::showSettingsDialog() {
    // A dialog closed a moment ago may still wait for its deletion: a new one is loaded then.
    if (!m_config || !m_config->isVisible()) {
        m_config = new SettingsDialog(m_settings, m_settingsPath, m_log, *this, this);
        // What Save took reaches the relay, which reads the settings where it needs them.
        connect(m_config, &SettingsDialog::settingsTaken, this,
                [this] { m_gateway->applySettings(m_settings); });
    }
    m_config->show();
    m_config->raise();
    m_config->activateWindow();
}

bool MainWindow::defaultAskToEnd() {
    QMessageBox box(QMessageBox::Question, QStringLiteral("Tarn Cluster"),
                    QStringLiteral("Do you really want to end program? "),
                    QMessageBox::Yes | QMessageBox::No, this);
    box.setDefaultButton(QMessageBox::No);
    m_question = &box;
    const int answer = box.exec();
    m_question = nullptr;
    return answer == QMessageBox::Yes;
}

void MainWindow::queryClose(bool& cancel, int reason) {
    if (reason == ByUser) {
        // Saved before the question, so settings and geometry are kept even if the user stays.
        saveSettingsFile(m_settingsPath, m_settings, *this, m_log);
        m_asking = true;
        const bool yes = askToEnd();
        m_asking = false;
        if (m_closeWhileAsking) {
            // The session or a signal ended the program while the question was shown: that
            // close goes ahead as soon as this one has returned, with its own reason.
            const int reason = *m_closeWhileAsking;
            m_closeWhileAsking.reset();
            cancel = true;
            QMetaObject::invokeMethod(
                this, [this, reason] { closeWithReason(reason); }, Qt::QueuedConnection);
            return;
        }
        if (!yes) {
            cancel = true;
            return;
        }
    }
    if (m_config) m_config->close();
    // The run's last line: whatever the relay does while it is torn down goes unlogged.
    m_log.writeLast(QStringLiteral("Program terminated"), dateTimeText(platform::now()));
}

void MainWindow::unload() {
    m_gateway->shutdown();
    // Every other window of the program that is still open.
    const QWidgetList windows = QApplication::topLevelWidgets();
    for (QWidget* w : windows) {
        if (w != this && w->isVisible()) w->close();
    }
}

void MainWindow::closeWithReason(int reason) {
    if (m_asking) {
        m_closeWhileAsking = reason;
        if (m_question) m_question->done(QMessageBox::No);
        return;
    }
    m_closeReason = reason;
    close();
    m_closeReason.reset();
}

void MainWindow::closeEvent(QCloseEvent* e) {
    // Once unloaded, a late close request (a signal on the way out) finds nothing to do.
    if (m_unloaded) {
        e->accept();
        return;
    }
    // The close box and the window menu arrive from the window system; close() in code does not.
    const int reason = m_closeReason.value_or(e->spontaneous() ? ByUser : ByCode);
    m_closeReason.reset();
    bool cancel = false;
    queryClose(cancel, reason);
    if (cancel) {
        e->ignore();
        return;
    }
    e->accept();
    m_unloaded = true;
    flushMonitor();
    unload();
}

// ---------------------------------------------------------------- geometry and resize rule

void MainWindow::applyResizeRule() {
    // Minimised: the lists keep their sizes and nothing is logged.
    if (isMinimized()) return;
    const QRect outer = frameGeometry();
    const ResizeResult r =
        resizeRule(outer.height() * double(kTwipsPerPixel), outer.width() * double(kTwipsPerPixel),
                   m_sentToRadio->x() * double(kTwipsPerPixel));
    const auto pixels = [](double twips) { return qRound(twips / kTwipsPerPixel); };
    if (r.steps >= 1) m_traffic->resize(m_traffic->width(), pixels(r.trafficHeight));
    if (r.steps >= 2) m_sentToRadio->resize(m_sentToRadio->width(), pixels(r.sentHeight));
    if (r.steps >= 3) m_sentToRadio->resize(pixels(r.sentWidth), m_sentToRadio->height());
}

void MainWindow::resizeEvent(QResizeEvent* e) {
    QMainWindow::resizeEvent(e);
    applyPendingOuterSize();
    applyResizeRule();
}

void MainWindow::showEvent(QShowEvent* e) {
    QMainWindow::showEvent(e);
    keepOnScreen();
    if (m_pendingOuter) {
        // Window managers report their frame a little after the window appears; a size asked
        // for before then is applied once the frame is known, or left as it is after a while.
        m_frameWatchTicks = 0;
        m_frameWatch.start();
    }
    applyPendingOuterSize();
    applyResizeRule();
}

void MainWindow::keepOnScreen() {
    // A saved position on a monitor unplugged since would open the window where nobody sees it.
    // Anywhere else, even partly off the screens, it opens where it was. The size is the outer
    // size asked for while the frame is not known yet.
    const QRect outer(frameGeometry().topLeft(), m_pendingOuter.value_or(frameGeometry().size()));
    if (const std::optional<QPoint> there = onScreenPosition(outer, screenAreas())) move(*there);
}

void MainWindow::moveEvent(QMoveEvent* e) {
    QMainWindow::moveEvent(e);
    applyPendingOuterSize();
}

QSize MainWindow::frameExtra() const {
    if (!isVisible()) return m_knownFrameExtra;
    const QSize extra = frameGeometry().size() - size();
    return extra;
}

void MainWindow::applyPendingOuterSize() {
    if (!m_pendingOuter || !isVisible()) return;
    const QSize extra = frameExtra();
    if (extra.isNull()) return;
    m_knownFrameExtra = extra;
    const QSize outer = *m_pendingOuter;
    m_pendingOuter.reset();
    resize(qMax(0, outer.width() - extra.width()), qMax(0, outer.height() - extra.height()));
}

double MainWindow::geometry(Field f) const {
    const QRect outer = frameGeometry();
    const double t = kTwipsPerPixel;
    switch (f) {
    case Top:
        return outer.top() * t;
    case Left:
        return outer.left() * t;
    case Height:
        return (m_pendingOuter ? m_pendingOuter->height() : outer.height()) * t;
    case Width:
        return (m_pendingOuter ? m_pendingOuter->width() : outer.width()) * t;
    }
    return 0;
}

void MainWindow::setGeometry(Field f, double twips) {
    const double pixels = std::nearbyint(twips / kTwipsPerPixel);
    if (!std::isfinite(pixels) || pixels > kMaxPixels || pixels < -kMaxPixels ||
        ((f == Height || f == Width) && pixels < 0))
        throw Failure(QStringLiteral("Invalid property value"));
    const int v = static_cast<int>(pixels);
    // pos() and move() of a window are those of its outer frame.
    switch (f) {
    case Top:
        move(pos().x(), v);
        return;
    case Left:
        move(v, pos().y());
        return;
    case Height:
    case Width: {
        QSize outer = m_pendingOuter.value_or(frameGeometry().size());
        if (f == Height)
            outer.setHeight(v);
        else
            outer.setWidth(v);
        const QSize extra = frameExtra();
        // Until the window manager has shown its frame, the outer size is remembered and
        // applied again once the frame is known.
        if (extra.isNull())
            m_pendingOuter = outer;
        else
            m_knownFrameExtra = extra;
        resize(qMax(0, outer.width() - extra.width()), qMax(0, outer.height() - extra.height()));
        return;
    }
    }
}

bool MainWindow::isMinimised() const {
    return isMinimized();
}

QString MainWindow::title() const {
    return windowTitle();
}

void MainWindow::setTitle(const QString& title) {
    setWindowTitle(title);
}

void MainWindow::setBytesCount(const QString& text) {
    m_bytesCount->setText(text);
}

// ---------------------------------------------------------------- the relay's displays

void MainWindow::flushMonitor() {
    m_flushTimer.stop();
    apply(m_feed.take());
}

void MainWindow::apply(const MonitorUpdate& u) {
    if (u.status) m_statusText->setPlainText(*u.status);
    if (u.header) {
        const AgwHeader& h = *u.header;
        m_port->setText(QString::number(h.Port));
        m_dataKind->setText(fromSingleByte(QByteArray(1, h.DataKind)));
        m_pid->setText(QString::number(h.Pid));
        m_callFrom->setText(fromSingleByte(h.CallFrom));
        m_callTo->setText(fromSingleByte(h.CallTo));
        m_dataLen->setText(QString::number(h.DataLen));
    }
    if (u.progress) {
        m_bytesSent->setText(QString::number(u.progress->first));
        m_bytesWaiting->setText(QString::number(u.progress->second));
    }
    if (u.kickVisible && m_kick->isVisible() != *u.kickVisible) m_kick->setVisible(*u.kickVisible);
    if (u.colour) {
        const QColor c = *u.colour == LinkColour::Yellow
                             ? toColour(kYellow)
                             : QApplication::palette().color(QPalette::Button);
        if (backgroundColour() != c) setBackground(c);
    }
    if (!u.traffic.isEmpty()) {
        for (const QString& row : u.traffic)
            m_trafficRows->add(row);
        m_trafficRows->trimTo(kTrafficMax);
        m_trafficRows->commit();
        m_traffic->scrollToBottom();
    }
    if (!u.routes.isEmpty()) {
        for (const QString& line : u.routes)
            m_routeRows->add(line);
        m_routeRows->commit();
    }
    if (!u.calls.isEmpty()) {
        for (auto it = u.calls.cbegin(); it != u.calls.cend(); ++it)
            m_callRows->set(it.key(), it.value());
        m_callRows->commit();
    }
    if (!u.sent.isEmpty()) {
        for (const QString& entry : u.sent)
            m_sentRows->add(entry);
        m_sentRows->trimTo(kSentMax + 1);
        m_sentRows->commit();
        m_sentToRadio->scrollToBottom();
    }
}
