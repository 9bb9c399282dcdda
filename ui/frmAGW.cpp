#include "ui/frmAGW.h"

#include "config/ConfigFile.h"
#include "config/ErrorLog.h"
#include "config/Module1.h"
#include "config/frmConfig.h"
#include "net/Failure.h"
#include "net/Platform.h"
#include "streams/StreamTable.h"

#include <QAbstractListModel>
#include <QAction>
#include <QApplication>
#include <QCloseEvent>
#include <QLabel>
#include <QLineEdit>
#include <QListView>
#include <QMenuBar>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <cmath>
#include <deque>

namespace agwlayout {

ResizeResult resizeRule(double outerHeight, double outerWidth, double list4Left) {
    ResizeResult r;
    r.list1Height = outerHeight - 2500;
    if (r.list1Height < 0) return r;
    r.steps = 1;
    r.list4Height = outerHeight - 825;
    if (r.list4Height < 0) return r;
    r.steps = 2;
    r.list4Width = outerWidth - list4Left - 210;
    if (r.list4Width < 0) return r;
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
    bool pending() const { return m_dropped > 0 || !m_added.empty(); }

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

// "Connected Calls": one row per slot of the stream table, read from the table when the view
// paints the row. The table never shrinks, so every row counted at the last refresh exists.
class CallsModel final : public QAbstractListModel {
public:
    using QAbstractListModel::QAbstractListModel;

    int rowCount(const QModelIndex& parent = QModelIndex()) const override {
        return parent.isValid() ? 0 : m_rows;
    }
    QVariant data(const QModelIndex& index, int role) const override {
        if (role != Qt::DisplayRole || !m_table || !index.isValid() || index.row() >= m_rows)
            return {};
        try {
            return m_table->connectedCallsRow(index.row());
        } catch (const std::exception&) {
            return {};
        }
    }

    void refresh(const StreamTable* table) {
        const int n = table ? table->rowCount() : 0;
        if (table != m_table) {
            beginResetModel();
            m_table = table;
            m_rows = n;
            endResetModel();
            return;
        }
        if (n > m_rows) {
            beginInsertRows(QModelIndex(), m_rows, n - 1);
            m_rows = n;
            endInsertRows();
        } else if (n < m_rows) {
            beginRemoveRows(QModelIndex(), n, m_rows - 1);
            m_rows = n;
            endRemoveRows();
        }
        // The views repaint what they show; nothing is read for rows out of sight.
        if (m_rows > 0) emit dataChanged(index(0), index(m_rows - 1), {Qt::DisplayRole});
    }

private:
    const StreamTable* m_table = nullptr;
    int m_rows = 0;
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

constexpr int kList1Max = 100;
// How long, after the window appears, a size from the settings waits for the window frame.
constexpr int kFrameWatchMs = 50;
constexpr int kFrameWatchTicks = 60;
constexpr int kList4Max = 1000; // trimmed to this before each entry is added
// A monitor row keeps at most this many characters, so that a thousand rows of the node's
// bulk text cannot hold megabytes; the cut is marked.
constexpr qsizetype kRowMaxChars = 2048;

QString shortRow(const QString& row) {
    if (row.size() <= kRowMaxChars) return row;
    return row.left(kRowMaxChars) + QStringLiteral(" \u2026");
}

// The largest window coordinate or size the toolkit takes, in pixels.
constexpr double kMaxPixels = 16777215.0;

} // namespace

frmAGW::frmAGW(SocketFactory agwSockets, SocketFactory clusterSockets, QWidget* parent)
    : QMainWindow(parent) {
    setObjectName(QStringLiteral("frmAGW"));
    setWindowTitle(QString::fromLatin1(kCaption));

    m_configure = menuBar()->addAction(QStringLiteral("Configure"));
    m_configure->setObjectName(QStringLiteral("configure"));
    m_kick = menuBar()->addAction(QStringLiteral("Kick"));
    m_kick->setObjectName(QStringLiteral("kick"));
    connect(m_configure, &QAction::triggered, this, &frmAGW::configure_Click);
    connect(m_kick, &QAction::triggered, this, &frmAGW::kick_Click);

    m_client = new QWidget(this);
    m_client->setObjectName(QStringLiteral("client"));
    m_client->setAutoFillBackground(true);
    setCentralWidget(m_client);
    setBackground(toColour(kLightYellow));
    buildControls();

    resize(px(kClientWidth), px(kClientHeight) + menuBar()->sizeHint().height());

    m_flushTimer.setSingleShot(true);
    m_flushTimer.setInterval(kFlushMs);
    connect(&m_flushTimer, &QTimer::timeout, this, &frmAGW::flushMonitor);

    askToEnd = [this] { return defaultAskToEnd(); };

    m_frameWatch.setInterval(kFrameWatchMs);
    connect(&m_frameWatch, &QTimer::timeout, this, [this] {
        applyPendingOuterSize();
        if (!m_pendingOuter || ++m_frameWatchTicks >= kFrameWatchTicks) {
            m_pendingOuter.reset();
            m_frameWatch.stop();
        }
    });

    m_gateway =
        std::make_unique<Gateway>(*this, *this, std::move(agwSockets), std::move(clusterSockets));
}

frmAGW::~frmAGW() {
    // The lists must not read the stream table once the gateway is gone.
    m_list3Rows->refresh(nullptr);
    m_callsTable = nullptr;
    m_gateway.reset();
}

void frmAGW::buildControls() {
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
    m_txtSent = line("txtSent");
    m_txtRemaining = line("txtRemaining");
    m_bytesCount = line("BytesCount");
    m_text1 = m_client->findChild<QPlainTextEdit*>(QStringLiteral("Text1"));
    m_list1 = list("List1");
    m_list2 = list("List2");
    m_list3 = list("List3");
    m_list4 = list("List4");

    m_list1Rows = new RowsModel(this);
    m_list2Rows = new RowsModel(this);
    m_list3Rows = new CallsModel(this);
    m_list4Rows = new RowsModel(this);
    m_list1->setModel(m_list1Rows);
    m_list2->setModel(m_list2Rows);
    m_list3->setModel(m_list3Rows);
    m_list4->setModel(m_list4Rows);
}

void frmAGW::setBackground(const QColor& c) {
    QPalette p = m_client->palette();
    p.setColor(QPalette::Window, c);
    m_client->setPalette(p);
}

frmConfig* frmAGW::configDialog() const {
    return m_config.data();
}

QColor frmAGW::backgroundColour() const {
    return m_client->palette().color(QPalette::Window);
}

// ---------------------------------------------------------------- start-up, menu, shutdown

void frmAGW::Form_Load() {
    m_gateway->Form_Load();
}

void frmAGW::kick_Click() {
    m_gateway->kick_Click();
}

void frmAGW::configure_Click() {
    // A dialog closed a moment ago may still wait for its deletion: a new one is loaded then.
    if (!m_config || !m_config->isVisible()) m_config = new frmConfig(*this, this);
    m_config->show();
    m_config->raise();
    m_config->activateWindow();
}

bool frmAGW::defaultAskToEnd() {
    QMessageBox box(QMessageBox::Question, QStringLiteral("Tarn Cluster"),
                    QStringLiteral("Do you really want to end program? "),
                    QMessageBox::Yes | QMessageBox::No, this);
    box.setDefaultButton(QMessageBox::No);
    m_question = &box;
    const int answer = box.exec();
    m_question = nullptr;
    return answer == QMessageBox::Yes;
}

void frmAGW::Form_QueryUnload(bool& cancel, int UnloadMode) {
    if (UnloadMode == ByUser) {
        // Saved before the question, so settings and geometry are kept even if the user stays.
        SaveCfg(*this);
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
    Module1::ErrorLog(QStringLiteral("Program terminated"), dateTimeText(platform::now()));
}

void frmAGW::Form_Unload() {
    m_gateway->closeLink();
    // UnloadAllForms: every other window of the program that is still open.
    const QWidgetList windows = QApplication::topLevelWidgets();
    for (QWidget* w : windows) {
        if (w != this && w->isVisible()) w->close();
    }
}

void frmAGW::closeWithReason(int reason) {
    if (m_asking) {
        m_closeWhileAsking = reason;
        if (m_question) m_question->done(QMessageBox::No);
        return;
    }
    m_closeReason = reason;
    close();
    m_closeReason.reset();
}

void frmAGW::closeEvent(QCloseEvent* e) {
    // Once unloaded, a late close request (a signal on the way out) finds nothing to do.
    if (m_unloaded) {
        e->accept();
        return;
    }
    // The close box and the window menu arrive from the window system; close() in code does not.
    const int reason = m_closeReason.value_or(e->spontaneous() ? ByUser : ByCode);
    m_closeReason.reset();
    bool cancel = false;
    Form_QueryUnload(cancel, reason);
    if (cancel) {
        e->ignore();
        return;
    }
    e->accept();
    m_unloaded = true;
    flushMonitor();
    Form_Unload();
}

// ---------------------------------------------------------------- geometry and resize rule

void frmAGW::Form_Resize() {
    // Minimised: the lists keep their sizes and nothing is logged.
    if (isMinimized()) return;
    const QRect outer = frameGeometry();
    const ResizeResult r =
        resizeRule(outer.height() * double(kTwipsPerPixel), outer.width() * double(kTwipsPerPixel),
                   m_list4->x() * double(kTwipsPerPixel));
    const auto pixels = [](double twips) { return qRound(twips / kTwipsPerPixel); };
    if (r.steps >= 1) m_list1->resize(m_list1->width(), pixels(r.list1Height));
    if (r.steps >= 2) m_list4->resize(m_list4->width(), pixels(r.list4Height));
    if (r.steps >= 3) m_list4->resize(pixels(r.list4Width), m_list4->height());
}

void frmAGW::resizeEvent(QResizeEvent* e) {
    QMainWindow::resizeEvent(e);
    applyPendingOuterSize();
    Form_Resize();
}

void frmAGW::showEvent(QShowEvent* e) {
    QMainWindow::showEvent(e);
    if (m_pendingOuter) {
        // Window managers report their frame a little after the window appears; a size asked
        // for before then is applied once the frame is known, or left as it is after a while.
        m_frameWatchTicks = 0;
        m_frameWatch.start();
    }
    applyPendingOuterSize();
    Form_Resize();
}

void frmAGW::moveEvent(QMoveEvent* e) {
    QMainWindow::moveEvent(e);
    applyPendingOuterSize();
}

QSize frmAGW::frameExtra() const {
    if (!isVisible()) return m_knownFrameExtra;
    const QSize extra = frameGeometry().size() - size();
    return extra;
}

void frmAGW::applyPendingOuterSize() {
    if (!m_pendingOuter || !isVisible()) return;
    const QSize extra = frameExtra();
    if (extra.isNull()) return;
    m_knownFrameExtra = extra;
    const QSize outer = *m_pendingOuter;
    m_pendingOuter.reset();
    resize(qMax(0, outer.width() - extra.width()), qMax(0, outer.height() - extra.height()));
}

double frmAGW::geometry(Field f) const {
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

void frmAGW::setGeometry(Field f, double twips) {
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

bool frmAGW::isMinimised() const {
    return isMinimized();
}

QString frmAGW::title() const {
    return windowTitle();
}

void frmAGW::setTitle(const QString& title) {
    setWindowTitle(title);
}

void frmAGW::setBytesCount(const QString& text) {
    m_bytesCount->setText(text);
}

// ---------------------------------------------------------------- Monitor

void frmAGW::setText1(const QString& text) {
    m_text1Live = text.size() > kText1Max ? text.right(kText1Max) : text;
    m_text1Dirty = true;
    scheduleFlush();
}

void frmAGW::appendText1(const QString& text) {
    m_text1Live += text;
    // Cut back only when twice the limit is reached, so that appending stays cheap.
    if (m_text1Live.size() > 2 * kText1Max) m_text1Live = m_text1Live.right(kText1Max);
    m_text1Dirty = true;
    scheduleFlush();
}

void frmAGW::showHeader(const AgwHeader& h) {
    m_header = h;
    m_headerDirty = true;
    scheduleFlush();
}

void frmAGW::addKindLine(const QString& line) {
    m_list2Rows->add(line);
    scheduleFlush();
}

void frmAGW::addTraffic(const QString& row) {
    m_list1Rows->add(shortRow(row));
    m_list1Rows->trimTo(kList1Max);
    scheduleFlush();
}

void frmAGW::trimTraffic() {
    m_list1Rows->trimTo(kList1Max);
    scheduleFlush();
}

void frmAGW::addSent(const QString& entry) {
    m_list4Rows->trimTo(kList4Max);
    m_list4Rows->add(shortRow(entry));
    scheduleFlush();
}

void frmAGW::refreshConnectedCalls(const StreamTable& table) {
    m_callsTable = &table;
    m_callsDirty = true;
    scheduleFlush();
}

void frmAGW::setKickVisible(bool visible) {
    if (m_kick->isVisible() != visible) m_kick->setVisible(visible);
}

void frmAGW::setLinkColour(LinkColour colour) {
    const QColor c = colour == LinkColour::Yellow ? toColour(kYellow)
                                                  : QApplication::palette().color(QPalette::Button);
    if (backgroundColour() != c) setBackground(c);
}

void frmAGW::setSendProgress(qint64 sent, qint64 remaining) {
    m_sent = sent;
    m_remaining = remaining;
    m_progressDirty = true;
    scheduleFlush();
}

void frmAGW::flushMonitor() {
    m_flushTimer.stop();
    if (m_text1Dirty) {
        m_text1Dirty = false;
        if (m_text1Live.size() > kText1Max) m_text1Live = m_text1Live.right(kText1Max);
        m_text1->setPlainText(m_text1Live);
    }
    if (m_headerDirty) {
        m_headerDirty = false;
        m_port->setText(QString::number(m_header.Port));
        m_dataKind->setText(fromSingleByte(QByteArray(1, m_header.DataKind)));
        m_pid->setText(QString::number(m_header.Pid));
        m_callFrom->setText(fromSingleByte(m_header.CallFrom));
        m_callTo->setText(fromSingleByte(m_header.CallTo));
        m_dataLen->setText(QString::number(m_header.DataLen));
    }
    if (m_progressDirty) {
        m_progressDirty = false;
        m_txtSent->setText(QString::number(m_sent));
        m_txtRemaining->setText(QString::number(m_remaining));
    }
    if (m_list1Rows->pending()) {
        m_list1Rows->commit();
        m_list1->scrollToBottom();
    }
    if (m_list2Rows->pending()) m_list2Rows->commit();
    if (m_callsDirty) {
        m_callsDirty = false;
        m_list3Rows->refresh(m_callsTable);
    }
    if (m_list4Rows->pending()) {
        m_list4Rows->commit();
        m_list4->scrollToBottom();
    }
}
