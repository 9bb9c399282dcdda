#include "ui/MonitorViews.h"

#include "agwlink/AgwFrame.h"
#include "config/OutsideText.h"
#include "net/SingleByte.h"
#include "relay/MonitorFeed.h"
#include "ui/MainForm.h"
#include "ui/MonitorRows.h"

#include <QAbstractListModel>
#include <QAction>
#include <QApplication>
#include <QLineEdit>
#include <QListView>
#include <QPainter>
#include <QPlainTextEdit>
#include <QStaticText>
#include <QStyledItemDelegate>
#include <deque>
#include <utility>

namespace agwmonitor {

constexpr char16_t kCrSymbol = 0x21b5;      // ↵
constexpr char16_t kLfSymbol = 0x2193;      // ↓
constexpr char16_t kTabSymbol = 0x2192;     // →
constexpr char16_t kControlSymbol = 0xfffd; // �

// A row as the lists show it: the control characters that the traffic and sent-text rows carry
// from the radio data become visible symbols, one for one, so every row is one line high. The
// symbols are in the fonts a stock desktop has (DejaVu Sans and Sans Mono): CR a return arrow,
// LF a downwards arrow, tab a rightwards arrow, any other control character (and DEL) the
// replacement character.
QString oneLine(const QString& row) {
    return withControlsShown(row, [](char16_t c) {
        return c == u'\r'   ? kCrSymbol
               : c == u'\n' ? kLfSymbol
               : c == u'\t' ? kTabSymbol
                            : kControlSymbol;
    });
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

using agwmonitor::CallsModel;
using agwmonitor::RowDelegate;
using agwmonitor::RowsModel;

namespace {

constexpr qsizetype kTrafficMax = MonitorFeed::kTrafficRows;
constexpr qsizetype kSentMax = MonitorFeed::kSentRows; // the list keeps one entry more

} // namespace

MonitorViews::MonitorViews(MainForm& form, QObject* owner) : m_form(form) {
    const MainControls& c = form.controls();
    for (QListView* v : {c.traffic, c.routes, c.connectedCalls, c.sentToRadio})
        v->setItemDelegate(new RowDelegate(v));
    m_trafficRows = new RowsModel(owner);
    m_routeRows = new RowsModel(owner);
    m_callRows = new CallsModel(owner);
    m_sentRows = new RowsModel(owner);
    c.traffic->setModel(m_trafficRows);
    c.routes->setModel(m_routeRows);
    c.connectedCalls->setModel(m_callRows);
    c.sentToRadio->setModel(m_sentRows);
}

void MonitorViews::apply(const MonitorUpdate& u) {
    const MainControls& w = m_form.controls();
    if (u.status) w.statusText->setPlainText(*u.status);
    if (u.header) {
        const AgwHeader& h = *u.header;
        w.port->setText(QString::number(h.Port));
        w.dataKind->setText(fromSingleByte(QByteArray(1, h.DataKind)));
        w.pid->setText(QString::number(h.Pid));
        w.callFrom->setText(fromSingleByte(h.CallFrom));
        w.callTo->setText(fromSingleByte(h.CallTo));
        w.dataLen->setText(QString::number(h.DataLen));
    }
    if (u.progress) {
        w.bytesSent->setText(QString::number(u.progress->first));
        w.bytesWaiting->setText(QString::number(u.progress->second));
    }
    // A retry by hand is the Kick entry; a failed link turns the window yellow until it is up.
    if (u.retryOffered && w.kick->isVisible() != *u.retryOffered)
        w.kick->setVisible(*u.retryOffered);
    if (u.linkFailed) {
        const QColor c = *u.linkFailed ? agwlayout::toColour(agwlayout::kYellow)
                                       : QApplication::palette().color(QPalette::Button);
        if (m_form.backgroundColour() != c) m_form.setBackground(c);
    }
    if (!u.traffic.empty()) {
        for (const TrafficRow& row : u.traffic)
            m_trafficRows->add(trafficRowText(row));
        m_trafficRows->trimTo(kTrafficMax);
        m_trafficRows->commit();
        w.traffic->scrollToBottom();
    }
    if (!u.routes.empty()) {
        for (const QByteArray& route : u.routes)
            m_routeRows->add(routeText(route));
        m_routeRows->commit();
    }
    if (!u.calls.isEmpty()) {
        for (auto it = u.calls.cbegin(); it != u.calls.cend(); ++it)
            m_callRows->set(it.key(), slotRowText(it.value()));
        m_callRows->commit();
    }
    if (!u.sent.empty()) {
        for (const SentRow& entry : u.sent)
            m_sentRows->add(sentRowText(entry));
        m_sentRows->trimTo(kSentMax + 1);
        m_sentRows->commit();
        w.sentToRadio->scrollToBottom();
    }
}
