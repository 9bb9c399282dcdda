#include "ui/MainForm.h"

#include "ui/ScreenPlacement.h"

#include "config/ConfigFile.h"
#include "net/Failure.h"

#include <QAction>
#include <QGuiApplication>
#include <QLabel>
#include <QLineEdit>
#include <QListView>
#include <QMainWindow>
#include <QMenuBar>
#include <QPlainTextEdit>
#include <cmath>

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

using namespace agwlayout;

namespace {

QRect toPixels(const Control& c) {
    return QRect(px(c.left), px(c.top), px(c.width), px(c.height));
}

// How long, after the window appears, a size from the settings waits for the window frame.
constexpr int kFrameWatchMs = 50;
constexpr int kFrameWatchTicks = 60;

} // namespace

MainForm::MainForm(QMainWindow& window) : m_window(window) {
    window.setObjectName(QStringLiteral("frmAGW"));
    window.setWindowTitle(QString::fromLatin1(kCaption));

    QMenuBar* menu = window.menuBar();
    m_c.configure = menu->addAction(QStringLiteral("Configure"));
    m_c.configure->setObjectName(QStringLiteral("configure"));
    m_c.kick = menu->addAction(QStringLiteral("Kick"));
    m_c.kick->setObjectName(QStringLiteral("kick"));

    m_c.client = new QWidget(&window);
    m_c.client->setObjectName(QStringLiteral("client"));
    m_c.client->setAutoFillBackground(true);
    window.setCentralWidget(m_c.client);
    setBackground(toColour(kLightYellow));
    buildControls();

    window.resize(px(kClientWidth), px(kClientHeight) + menu->sizeHint().height());

    m_frameWatch.setInterval(kFrameWatchMs);
    QObject::connect(&m_frameWatch, &QTimer::timeout, &m_frameWatch, [this] {
        applyPendingOuterSize();
        if (!m_pendingOuter || ++m_frameWatchTicks >= kFrameWatchTicks) {
            m_pendingOuter.reset();
            m_frameWatch.stop();
        }
    });
}

void MainForm::buildControls() {
    QWidget* client = m_c.client;
    for (const Control& c : kControls) {
        QWidget* w = nullptr;
        const QString text = QString::fromLatin1(c.text);
        switch (c.kind) {
        case Kind::Label:
            w = new QLabel(text, client);
            break;
        case Kind::TextBox: {
            auto* e = new QLineEdit(text, client);
            if (c.centred) e->setAlignment(Qt::AlignCenter);
            w = e;
            break;
        }
        case Kind::MultiLine: {
            w = new QPlainTextEdit(text, client);
            break;
        }
        case Kind::List: {
            auto* v = new QListView(client);
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
    const auto line = [client](const char* name) {
        return client->findChild<QLineEdit*>(QString::fromLatin1(name));
    };
    const auto list = [client](const char* name) {
        return client->findChild<QListView*>(QString::fromLatin1(name));
    };
    m_c.port = line("Port");
    m_c.dataKind = line("DataKind");
    m_c.pid = line("Pid");
    m_c.callFrom = line("CallFrom");
    m_c.callTo = line("CallTo");
    m_c.dataLen = line("DataLen");
    m_c.bytesSent = line("txtSent");
    m_c.bytesWaiting = line("txtRemaining");
    m_c.bytesCount = line("BytesCount");
    m_c.statusText = client->findChild<QPlainTextEdit*>(QStringLiteral("Text1"));
    m_c.traffic = list("List1");
    m_c.routes = list("List2");
    m_c.connectedCalls = list("List3");
    m_c.sentToRadio = list("List4");
}

void MainForm::setBackground(const QColor& c) {
    QPalette p = m_c.client->palette();
    p.setColor(QPalette::Window, c);
    m_c.client->setPalette(p);
}

QColor MainForm::backgroundColour() const {
    return m_c.client->palette().color(QPalette::Window);
}

// ---------------------------------------------------------------- geometry and resize rule

void MainForm::applyResizeRule() {
    // Minimised: the lists keep their sizes and nothing is logged.
    if (m_window.isMinimized()) return;
    QListView* traffic = m_c.traffic;
    QListView* sent = m_c.sentToRadio;
    const QRect outer = m_window.frameGeometry();
    const ResizeResult r =
        resizeRule(outer.height() * double(kTwipsPerPixel), outer.width() * double(kTwipsPerPixel),
                   sent->x() * double(kTwipsPerPixel));
    const auto pixels = [](double twips) { return qRound(twips / kTwipsPerPixel); };
    if (r.steps >= 1) traffic->resize(traffic->width(), pixels(r.trafficHeight));
    if (r.steps >= 2) sent->resize(sent->width(), pixels(r.sentHeight));
    if (r.steps >= 3) sent->resize(pixels(r.sentWidth), sent->height());
}

void MainForm::resized() {
    applyPendingOuterSize();
    applyResizeRule();
}

void MainForm::shown() {
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

void MainForm::keepOnScreen() {
    // A saved position on a monitor unplugged since would open the window where nobody sees it.
    // Anywhere else, even partly off the screens, it opens where it was. The size is the outer
    // size asked for while the frame is not known yet.
    const QRect frame = m_window.frameGeometry();
    const QRect outer(frame.topLeft(), m_pendingOuter.value_or(frame.size()));
    if (const std::optional<QPoint> there = onScreenPosition(outer, screenAreas()))
        m_window.move(*there);
}

void MainForm::moved() {
    applyPendingOuterSize();
}

QSize MainForm::frameExtra() const {
    if (!m_window.isVisible()) return m_knownFrameExtra;
    return m_window.frameGeometry().size() - m_window.size();
}

void MainForm::applyPendingOuterSize() {
    if (!m_pendingOuter || !m_window.isVisible()) return;
    const QSize extra = frameExtra();
    if (extra.isNull()) return;
    m_knownFrameExtra = extra;
    const QSize outer = *m_pendingOuter;
    m_pendingOuter.reset();
    m_window.resize(qMax(0, outer.width() - extra.width()),
                    qMax(0, outer.height() - extra.height()));
}

double MainForm::geometry(WindowFrame::Field f) const {
    const QRect outer = m_window.frameGeometry();
    const double t = kTwipsPerPixel;
    switch (f) {
    case WindowFrame::Top:
        return outer.top() * t;
    case WindowFrame::Left:
        return outer.left() * t;
    case WindowFrame::Height:
        return (m_pendingOuter ? m_pendingOuter->height() : outer.height()) * t;
    case WindowFrame::Width:
        return (m_pendingOuter ? m_pendingOuter->width() : outer.width()) * t;
    }
    return 0;
}

void MainForm::setGeometry(WindowFrame::Field f, double twips) {
    const std::optional<int> pixels = framePixels(f, twips);
    if (!pixels) throw Failure(QStringLiteral("Invalid property value"));
    const int v = *pixels;
    // pos() and move() of a window are those of its outer frame.
    switch (f) {
    case WindowFrame::Top:
        m_window.move(m_window.pos().x(), v);
        return;
    case WindowFrame::Left:
        m_window.move(v, m_window.pos().y());
        return;
    case WindowFrame::Height:
    case WindowFrame::Width: {
        QSize outer = m_pendingOuter.value_or(m_window.frameGeometry().size());
        if (f == WindowFrame::Height)
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
        m_window.resize(qMax(0, outer.width() - extra.width()),
                        qMax(0, outer.height() - extra.height()));
        return;
    }
    }
}
