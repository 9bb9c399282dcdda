// The receive side under arbitrary input: bytes from the engine cut into arbitrary arrivals,
// mixed with events of the sessions' node connections and of the AGW link, against a whole
// Gateway on stand-in sockets.
//
// Input: [n] [n control bytes] [stream bytes]. Each control byte is an operation (low 3 bits) and
// an argument (high 5 bits); some take the following control byte(s) too. Sizes are size(arg):
// a table of 31 sizes around frame boundaries, or for arg 31 the next two control bytes (big
// endian). When the control bytes are done, the rest of the stream is one last arrival.
// "Picks a session": the next control byte b picks slot 1 + b % (highest slot); a free slot
// picks the session that last held it if it has ended and is not deleted yet, else nothing.
//   0 arrival    the next size(arg) stream bytes arrive from the engine
//   1 node event picks a session; arg & 3: 0 connected (while connecting), 1 closed by the node
//                (while connected), 2 error (while connecting or connected), 3 keep-alive tick
//   2 node text  picks a session; the next size(arg) stream bytes come from the node (while
//                connected or closing; also to an ended session, which must send nothing)
//   3 node queue picks a session; arg & 1: the node stops / resumes reading
//   4 link event arg & 7: the engine stops reading, resumes, closes the link, reconnect timer
//                tick, connected, error, "Kick", the program ends
//   5 packet length from a table of interesting values
//   6 keep-alive minutes = arg - 2
//   7 last words picks a session; the node sends size(arg) stream bytes and closes at once
//
// Checked on every frame the gateway hands to the engine, when it does:
// - one whole frame, 36 + DataLen bytes, reserved bytes and Pid zero; "X" only on a connect;
//   "D" with 1 to PacketLength (130 when below 1) data bytes, "d" without data; "D" and "d"
//   from the cluster callsign;
// - during an arrival: no "D"; a "d" only to the station whose "D" frame is being handled, on
//   its frame's port or its session's;
// - during a node event: "D" and "d" only to the user of that session, on the session's port,
//   while the session is in the table (an ended session sends nothing, whatever its node does);
// - during anything else (the link's events, the settings, the program's end): nothing.
// Checked after every operation:
// - node text reaches the user whole while the link is up: the "D" data joined is the text
//   without CR and with CR for LF; a node that closes (or fails) gets its user a "d" while the
//   link is up, after the text;
// - the node never sees a zero byte or a CR without LF; on every connection the first line is the
//   user's callsign, then what the user typed while it was being made (all of it);
// - the table: one session per callsign, usable callsigns only, a new session in the lowest free
//   slot, in-use count equal to the sessions, held text within Session::kMaxHeldBytes, the
//   connected-calls rows one per slot showing the session's callsign or " *gone*";
// - the states: Connecting has its node connecting and is the only state that holds text;
//   LoggedIn has its node connected and logged in; Closing only after its node closed; an Ended
//   session is out of the table, holds nothing and its node is closed;
// - a lost AGW link (the engine closes it, it fails, or the gateway resets it after an oversize
//   header) ends every session or none, and no frame is sent meanwhile; the program's end leaves
//   no session;
// - the receive buffer holds less than one largest frame and as much as a shadow reassembly;
// - the node connections are read exactly while the engine's queue is not congested.
#include "agwlink/AgwFrame.h"
#include "agwlink/AgwLink.h"
#include "agwlink/FrameAssembler.h"
#include "agwlink/TextCutter.h"
#include "config/ErrorLog.h"
#include "config/Settings.h"
#include "relay/Gateway.h"
#include "relay/Receiver.h"
#include "relay/Session.h"
#include "relay/SessionTable.h"
#include "support/Fakes.h"

#include <QByteArray>
#include <QCoreApplication>
#include <QHash>
#include <QPointer>
#include <QSet>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <memory>
#include <vector>

namespace {

const QByteArray kCall = QByteArrayLiteral("GB7TC");
const QByteArray kCrLf = QByteArrayLiteral("\r\n");

constexpr int kSizes[31] = {1,   2,   3,   4,   5,   7,   8,    12,   16,  20, 24,
                            32,  35,  36,  37,  40,  48,  50,   64,   72,  80, 100,
                            128, 130, 200, 256, 300, 512, 1024, 2048, 4096};

constexpr qint32 kPacketLengths[32] = {
    0,  -1,  INT_MIN, 1,   2,   3,   4,   5,   6,   8,   10,  16,  29,  30,   31,    32,
    64, 100, 127,     128, 129, 130, 131, 200, 233, 234, 235, 255, 256, 1000, 65536, INT_MAX};

[[noreturn]] void fail(const char* what, const QByteArray& detail = {}) {
    std::fprintf(stderr, "fuzz_receive: %s %s\n", what, detail.toHex(' ').constData());
    std::abort();
}

bool usableCall(const QByteArray& call) {
    if (call.isEmpty()) return false;
    for (const char c : call)
        if (static_cast<unsigned char>(c) < 0x21 || static_cast<unsigned char>(c) > 0x7e)
            return false;
    return true;
}

// What a radio user receives of node text: no CR, and a CR for every LF.
// The node's text as it goes to the radio: every line end (CR LF, a CR or an LF alone) one CR;
// afterCr: the node's text before ended in a CR, whose LF may begin this one.
QByteArray radioText(QByteArray text, bool& afterCr) {
    if (afterCr && text.startsWith('\n')) text.remove(0, 1);
    if (!text.isEmpty()) afterCr = text.endsWith('\r');
    text.replace("\r\n", "\r");
    text.replace('\n', '\r');
    return text;
}

// The AGW socket: every frame is shown to the harness as it is handed over, and a close is
// announced before it happens (a reset closes the socket before the loss is reported).
class EngineSocket : public FakeSocket {
public:
    std::function<void(const QByteArray&)> onSend;
    std::function<void()> onClose;

    void send(const QByteArray& data) override {
        if (onSend) onSend(data);
        FakeSocket::send(data);
    }
    void close() override {
        if (onClose) onClose();
        FakeSocket::close();
    }
};

// The relay's reports, recorded; the harness learns of every session as its slot is reported, and
// of every frame from the engine as it is seen (just before it is dispatched).
class WatchingMonitor : public RecordedFeed {
public:
    std::function<void(int)> onRow;
    std::function<void(const AgwHeader&)> onHeader;
    void slotChanged(int slot, SlotState state, const QByteArray& callsign) override {
        RecordedFeed::slotChanged(slot, state, callsign);
        if (onRow) onRow(slot);
    }
    void frameSeen(const AgwHeader& h) override {
        RecordedFeed::frameSeen(h);
        header = h;
        if (onHeader) onHeader(h);
    }
    AgwHeader header; // of the last frame seen
};

// What the harness is doing: which frames to the engine are allowed depends on it.
enum class Doing { Nothing, Arrival, NodeEvent, Connect };

// One session as the harness follows it, from its opening to its deletion.
struct Tracked {
    QPointer<Session> session; // null once the table has deleted it
    QPointer<FakeSocket> node;
    QByteArray call;
    int slot = 0;
    bool ended = false;
    int connects = 0;        // the node socket's connect count when last seen
    bool loggedIn = false;   // the node connection came up since the last connect
    bool peerClosed = false; // the node closed since the last connect
    QByteArray typed;        // what the user typed while the node connection was being made
    qsizetype nodeChecked = 0;
    bool afterCr = false; // the node's text so far ended in a CR
};

struct Run {
    Settings settings;
    ErrorLog log{QStringLiteral("/dev/null/pktgate-fuzz")}; // every line costs one failed open
    WatchingMonitor monitor;
    std::unique_ptr<Gateway> gw;
    EngineSocket* agw = nullptr;
    FrameAssembler shadow;
    // The frames of the current arrival, and the next one to be dispatched.
    QList<QByteArray> frames;
    qsizetype nextFrame = 0;
    // Text a logged-in user typed: it must be on the node connection after this many bytes.
    Tracked* typedBy = nullptr;
    qsizetype typedAt = 0;
    QByteArray typedText;

    std::vector<std::unique_ptr<Tracked>> tracked;
    QHash<const Session*, Tracked*> live;

    const uint8_t* ctl = nullptr;
    size_t nctl = 0, ci = 0;
    const uint8_t* stream = nullptr;
    size_t nstream = 0, si = 0;

    // The current operation.
    Doing doing = Doing::Nothing;
    Tracked* eventOf = nullptr; // the session of a node event
    QList<AgwHeader> sentNow;   // frames to the engine during it
    QList<QByteArray> sentData;
    int sends = 0;
    // The sessions when the link last closed or was about to be lost, and the sends by then.
    QSet<const Session*> beforeLoss;
    int sendsBeforeLoss = 0;

    Run() {
        settings.clusterCall = QString::fromLatin1(kCall);
        settings.packetLength = 130;
        Timing timing;
        timing.connectSleepMs = 0;
        SocketFactory engine = [this] {
            auto s = std::make_unique<EngineSocket>();
            agw = s.get();
            s->onSend = [this](const QByteArray& f) { frameSent(f); };
            s->onClose = [this] { noteLinkState(); };
            return s;
        };
        SocketFactory nodes = [] { return std::make_unique<FakeSocket>(); };
        gw = std::make_unique<Gateway>(settings, log, monitor, timing, engine, nodes);
        settings.clusterPort = PortSetting(QStringLiteral("7300"));
        gw->reconfigure(settings);
        // The relay as an engine meets it that does not report its frames: every text at once.
        // (The paced relay has its own tests.)
        gw->setFrameLimit(0);
        monitor.onRow = [this](int row) { rowSet(row); };
        monitor.onHeader = [this](const AgwHeader& h) { frameShown(h); };
        // After the gateway's own handling of the loss.
        QObject::connect(&gw->link(), &AgwLink::lost, &gw->link(), [this] { linkLost(); });
        gw->link().open();
        linkConnected();
    }
    ~Run() {
        // As the program ends: the link first, then every session, with nothing sent.
        doing = Doing::Nothing;
        gw->shutdown();
        if (table().inUse() != 0) fail("sessions left after the program's end");
        gw.reset();
    }

    SessionTable& table() { return gw->sessions(); }

    int nextCtl() { return ci < nctl ? ctl[ci++] : -1; }
    qsizetype size(int arg) {
        if (arg < 31) return kSizes[arg];
        const int hi = nextCtl(), lo = nextCtl();
        return (hi < 0 ? 0 : hi << 8) | (lo < 0 ? 0 : lo);
    }
    QByteArray take(qsizetype n) {
        const qsizetype left = static_cast<qsizetype>(nstream - si);
        if (n > left) n = left;
        QByteArray b(reinterpret_cast<const char*>(stream + si), n);
        si += static_cast<size_t>(n);
        return b;
    }

    // A session's row is set as it opens: from then on the harness follows it.
    void rowSet(int row) {
        Session* s = table().at(row);
        if (!s || live.contains(s)) return;
        for (int lower = 1; lower < row; ++lower)
            if (!table().at(lower)) fail("a session opened above a free slot", s->callsign());
        track(s);
    }

    void track(Session* s) {
        auto t = std::make_unique<Tracked>();
        t->session = s;
        t->node = static_cast<FakeSocket*>(&s->node());
        t->call = s->callsign();
        t->slot = s->slot();
        t->connects = t->node->connects;
        Tracked* raw = t.get();
        tracked.push_back(std::move(t));
        live.insert(s, raw);
        QObject::connect(s, &Session::ended, s, [this, raw](Session* e) { sessionEnded(raw, e); });
    }

    // Runs after the table has taken the session out.
    void sessionEnded(Tracked* t, Session* s) {
        if (s->state() != Session::State::Ended) fail("ended, but not in state Ended", t->call);
        if (table().at(t->slot) == s || table().find(t->call) == s)
            fail("an ended session is still in the table", t->call);
        if (s->heldBytes() != 0) fail("an ended session holds text", t->call);
        if (s->node().state() != Socket::Closed) fail("an ended session's node is open", t->call);
        t->ended = true;
        live.remove(s);
    }

    // The session of slot b % highest + 1, or the ended one that last held the slot.
    Tracked* pickSession() {
        const int n = table().highestSlot();
        const int b = nextCtl();
        if (n < 1 || b < 0) return nullptr;
        const int slot = 1 + b % n;
        if (Session* s = table().at(slot)) return live.value(s, nullptr);
        for (auto it = tracked.rbegin(); it != tracked.rend(); ++it)
            if ((*it)->slot == slot) return ((*it)->ended && (*it)->session) ? it->get() : nullptr;
        return nullptr;
    }

    bool linkUp() const { return agw->state() == Socket::Connected; }

    void frameSent(const QByteArray& f) {
        ++sends;
        if (f.size() < kAgwHeaderSize) fail("part of a header sent", f);
        const AgwHeader h = readHeader(f.constData());
        if (f.size() != kAgwHeaderSize + static_cast<qsizetype>(h.DataLen))
            fail("not one whole frame sent", f.first(kAgwHeaderSize));
        const QByteArray head = f.first(kAgwHeaderSize);
        for (const int r : {1, 2, 3, 5, 7, 32, 33, 34, 35})
            if (f[r] != 0) fail("reserved byte set", head);
        if (h.Pid != 0) fail("Pid not zero", head);
        if (h.DataKind == 'X') {
            // On port 0 when the link comes up; on a further port as the answer to the engine's
            // list of its ports.
            const bool portList = doing == Doing::Arrival && monitor.header.DataKind == 'G';
            if (doing != Doing::Connect && !portList) fail("registration outside a connect", head);
            if ((doing == Doing::Connect) != (h.Port == 0))
                fail("registration on a wrong port", head);
            return;
        }
        if (h.DataKind == 'G') {
            if (doing != Doing::Connect || h.DataLen != 0) fail("port question out of place", head);
            return;
        }
        if (h.CallFrom != kCall) fail("not from the cluster callsign", head);
        const qint32 setting = settings.packetLength;
        const qsizetype len = setting < 1 ? 130 : setting;
        if (h.DataKind == 'D') {
            if (h.DataLen < 1 || h.DataLen > static_cast<quint32>(len))
                fail("D frame outside the packet length", head);
        } else if (h.DataKind == 'd') {
            if (h.DataLen != 0) fail("d frame with data", head);
        } else {
            fail("unexpected kind sent", head);
        }
        Session* s = table().find(h.CallTo);
        switch (doing) {
        case Doing::Arrival: {
            // Only an answer to the station whose data is being handled.
            if (h.DataKind == 'D') fail("D frame while the engine's bytes are handled", head);
            const AgwHeader& in = monitor.header;
            // A "C" is answered by a "d" when its callsign is refused, or to the radio port a
            // session moves away from.
            if (in.DataKind == 'C' && in.CallFrom == h.CallTo && h.DataKind == 'd') break;
            if (in.DataKind != 'D' || in.CallFrom != h.CallTo)
                fail("d frame to a station whose data is not being handled", head);
            if (h.Port != in.Port && !(s && h.Port == s->port()))
                fail("d frame on another radio port", head);
            break;
        }
        case Doing::NodeEvent:
            if (!eventOf || h.CallTo != eventOf->call)
                fail("frame to a user whose node did not act", head);
            if (!s || s != eventOf->session) fail("frame for a session not in the table", head);
            if (s->state() == Session::State::Ended) fail("frame for an ended session", head);
            if (h.Port != s->port()) fail("frame on another radio port than the user's", head);
            break;
        default:
            fail("frame to a radio user without cause", head);
        }
        sentNow << h;
        sentData << f.sliced(kAgwHeaderSize);
    }

    // The link is being closed or lost: what the sessions are now.
    void noteLinkState() {
        beforeLoss.clear();
        for (auto it = live.cbegin(); it != live.cend(); ++it)
            beforeLoss.insert(it.key());
        sendsBeforeLoss = sends;
    }

    void linkLost() {
        if (sends != sendsBeforeLoss) fail("frames sent while the link was lost");
        QSet<const Session*> now;
        for (auto it = live.cbegin(); it != live.cend(); ++it)
            now.insert(it.key());
        if (!now.isEmpty() && now != beforeLoss)
            fail("the link loss ended some sessions but not all");
    }

    void linkConnected() {
        if (agw->state() != Socket::Connecting) return;
        shadow.clear(); // a new connection starts with an empty buffer
        agw->written.clear();
        doing = Doing::Connect;
        agw->makeConnected();
        doing = Doing::Nothing;
        const QList<QByteArray> frames = splitFrames(agw->written);
        if (frames.size() != 2 || frames[0] != buildRegisterFrame(kCall) ||
            frames[1] != buildPortInfoRequest())
            fail("connect without one registration and the port question", agw->written);
        agw->written.clear();
    }

    void arrival(const QByteArray& bytes) {
        frames.clear();
        nextFrame = 0;
        shadow.append(bytes);
        for (;;) {
            QByteArrayView f;
            const FrameAssembler::Next next = shadow.next(f);
            if (next == FrameAssembler::Next::NeedMore) break;
            if (next == FrameAssembler::Next::Oversize) {
                shadow.clear();
                break;
            }
            frames << f.toByteArray();
        }
        doing = Doing::Arrival;
        gw->link().handleArrival(bytes, bytes.size());
        typedReached();
        doing = Doing::Nothing;
        if (nextFrame != frames.size()) fail("whole frames left unhandled");
        if (gw->link().assembler().buffered() != shadow.buffered())
            fail("receive buffer differs from the frames taken");
        for (auto it = live.cbegin(); it != live.cend(); ++it) {
            Tracked* t = it.value();
            if (it.key()->state() == Session::State::Connecting &&
                it.key()->heldBytes() != t->typed.size())
                fail("the text held differs from what the user typed", t->call);
        }
    }

    // The next frame of the arrival is being dispatched.
    void frameShown(const AgwHeader& h) {
        typedReached();
        if (doing != Doing::Arrival) fail("a frame handled outside an arrival");
        if (nextFrame >= frames.size()) fail("more frames handled than arrived");
        const QByteArray& f = frames[nextFrame++];
        const AgwHeader mine = readHeader(f.constData());
        if (h.DataKind != mine.DataKind || h.Port != mine.Port || h.CallFrom != mine.CallFrom ||
            h.CallTo != mine.CallTo || h.DataLen != mine.DataLen)
            fail("frames handled out of order", f.first(kAgwHeaderSize));
        if (h.DataKind != 'D') return;
        Session* s = table().find(h.CallFrom);
        Tracked* t = s ? live.value(s, nullptr) : nullptr;
        // Text from a radio port the session has moved away from is not the session's.
        if (!t || s->port() != h.Port) return;
        const QByteArray text = toNodeText(QByteArrayView(f).sliced(kAgwHeaderSize));
        if (s->state() == Session::State::Connecting) {
            t->typed += text; // past the bound the session must end
        } else if (s->state() == Session::State::LoggedIn) {
            typedBy = t;
            typedAt = t->node->written.size();
            typedText = text;
        }
    }

    // The text of the last frame from a logged-in user went to the node, right after what was
    // there.
    void typedReached() {
        if (!typedBy) return;
        const QByteArray& w = typedBy->node->written;
        if (w.size() != typedAt + typedText.size() || !w.endsWith(typedText))
            fail("the user's text did not reach the node as typed", typedBy->call);
        typedBy = nullptr;
    }

    // Node text to a session's user, and the node closing after it (lastWords).
    void nodeSpeaks(Tracked* t, const QByteArray& text, bool close) {
        FakeSocket* s = t->node;
        const int st = s->state();
        const bool ended = t->ended;
        if (close ? st != Socket::Connected
                  : !(ended || st == Socket::Connected || st == Socket::Closing))
            return;
        const bool up = linkUp();
        bool afterCr = t->afterCr;
        const QByteArray expected = radioText(s->incoming + text, afterCr);
        eventOf = t;
        doing = Doing::NodeEvent;
        if (close) {
            s->incoming += text;
            t->peerClosed = true;
            s->peerClose();
        } else {
            s->deliver(text);
        }
        doing = Doing::Nothing;
        t->afterCr = afterCr;
        if (ended) {
            if (!sentNow.isEmpty()) fail("an ended session sent something", t->call);
            return;
        }
        if (!up) return;
        QByteArray got;
        qsizetype k = 0;
        for (; k < sentNow.size() && sentNow[k].DataKind == 'D'; ++k)
            got += sentData[k];
        if (got != expected) fail("node text did not reach the user whole", t->call);
        if (close && !disconnectedLast())
            fail("the node closed and the user got no d after the text", t->call);
        if (!close && k != sentNow.size()) fail("more than text for node text", t->call);
    }

    // The last frame of the operation is a "d", after nothing but "D".
    bool disconnectedLast() const {
        for (qsizetype k = 0; k < sentNow.size(); ++k)
            if (sentNow[k].DataKind != (k + 1 == sentNow.size() ? 'd' : 'D')) return false;
        return !sentNow.isEmpty();
    }

    void nodeEvent(int kind, Tracked* t) {
        if (t->ended) return; // nothing but text comes from a closed connection
        FakeSocket* s = t->node;
        Session* session = t->session;
        const int st = s->state();
        const bool up = linkUp();
        eventOf = t;
        doing = Doing::NodeEvent;
        switch (kind) {
        case 0:
            if (st >= Socket::ConnectionPending && st <= Socket::Connecting) {
                s->written.clear();
                t->nodeChecked = 0;
                s->makeConnected();
                t->loggedIn = true;
                if (!sentNow.isEmpty())
                    fail("the node connection sent frames to the engine", t->call);
                if (!s->written.startsWith(t->call + kCrLf))
                    fail("login is not the callsign", t->call);
                if (s->written != t->call + kCrLf + t->typed)
                    fail("the text typed while connecting did not follow the login", t->call);
                t->typed.clear();
            }
            break;
        case 1:
            if (st == Socket::Connected) {
                t->peerClosed = true;
                s->peerClose();
                if (up && !disconnectedLast())
                    fail("the node closed and the user got no d", t->call);
            }
            break;
        case 2:
            if (st >= Socket::ConnectionPending && st <= Socket::Connected) {
                s->fail(QStringLiteral("Connection reset by peer"));
                if (!t->ended) fail("a node failure left the session", t->call);
                if (up && !disconnectedLast())
                    fail("the node failed and the user got no d", t->call);
            }
            break;
        default:
            session->keepAliveTick();
            if (!sentNow.isEmpty()) fail("a keep-alive tick sent frames", t->call);
            break;
        }
        doing = Doing::Nothing;
    }

    void linkEvent(int kind) {
        switch (kind) {
        case 0:
            agw->pending = AgwLink::kHighWater + 1;
            break;
        case 1:
            agw->pending = 0;
            emit agw->sendProgress(agw->written.size(), 0);
            break;
        case 2:
            if (agw->state() == Socket::Connected) {
                noteLinkState();
                agw->peerClose();
            }
            break;
        case 3:
            gw->link().reconnectTick();
            break;
        case 4:
            linkConnected();
            break;
        case 5:
            if (agw->state() >= Socket::ConnectionPending && agw->state() <= Socket::Connected) {
                noteLinkState();
                agw->fail(QStringLiteral("Connection reset by peer"));
            }
            break;
        case 6:
            gw->kick();
            break;
        default:
            gw->shutdown();
            if (table().inUse() != 0) fail("sessions left after the program's end");
            break;
        }
    }

    void step() {
        sentNow.clear();
        sentData.clear();
        eventOf = nullptr;
        const int c = nextCtl();
        const int op = c & 7, arg = c >> 3;
        switch (op) {
        case 0:
            arrival(take(size(arg)));
            break;
        case 1:
            if (Tracked* t = pickSession()) nodeEvent(arg & 3, t);
            break;
        case 2: {
            Tracked* t = pickSession();
            const QByteArray text = take(size(arg));
            if (t) nodeSpeaks(t, text, false);
            break;
        }
        case 3:
            if (Tracked* t = pickSession())
                if (t->node) t->node->pending = (arg & 1) ? Session::kMaxNodeQueue + 1 : 0;
            break;
        case 4:
            linkEvent(arg & 7);
            break;
        case 5:
            settings.packetLength = kPacketLengths[arg];
            gw->reconfigure(settings);
            break;
        case 6:
            settings.keepAliveMinutes = arg - 2;
            gw->reconfigure(settings);
            break;
        default: {
            Tracked* t = pickSession();
            const QByteArray text = take(size(arg));
            if (t && !t->ended) nodeSpeaks(t, text, true);
            break;
        }
        }
        // What the engine has not taken goes with a closed connection.
        if (!linkUp()) agw->pending = 0;
        check();
    }

    void check() {
        agw->written.clear();
        checkNodes();
        checkTable();
    }

    void checkNodes() {
        for (auto it = live.cbegin(); it != live.cend(); ++it) {
            Tracked* t = it.value();
            const QByteArray& w = t->node->written;
            for (qsizetype at = t->nodeChecked; at < w.size(); ++at) {
                if (w[at] == '\0') fail("zero byte sent to the node", t->call);
                if (w[at] == '\r' && (at + 1 >= w.size() || w[at + 1] != '\n'))
                    fail("CR without LF sent to the node", w.right(16));
            }
            t->nodeChecked = w.size();
        }
    }

    void checkTable() {
        SessionTable& tb = table();
        QSet<QByteArray> calls;
        const bool reading = !gw->link().congested();
        if (tb.reading() != reading) fail("node reading out of step with the link");
        const QStringList& rows = monitor.shown().calls;
        if (rows.size() != tb.highestSlot() + 1) fail("connected-calls rows differ from the slots");
        if (!rows.value(0).isEmpty()) fail("connected-calls row 0 is not empty");
        for (int slot = 1; slot <= tb.highestSlot(); ++slot) {
            Session* s = tb.at(slot);
            const QString row = rows.value(slot);
            if (!s) {
                if (row != QStringLiteral(" *gone*")) fail("a free slot's row is not gone");
                continue;
            }
            Tracked* t = live.value(s, nullptr);
            if (!t) fail("a session the harness did not see open");
            const QByteArray& c = s->callsign();
            if (row != QString::fromLatin1(c)) fail("a row does not show its session", c);
            if (s->slot() != slot) fail("a session in another slot than its own", c);
            if (!usableCall(c)) fail("unusable callsign in the table", c);
            if (calls.contains(c)) fail("callsign in two slots", c);
            calls.insert(c);
            if (tb.find(c) != s) fail("lookup does not find the session", c);
            if (s->heldBytes() > Session::kMaxHeldBytes) fail("held text over its bound", c);
            if (t->node->connects != t->connects) {
                // The user came back after the node had gone: a new connection, a new login.
                t->connects = t->node->connects;
                t->loggedIn = t->peerClosed = false;
            }
            const int node = t->node->state();
            switch (s->state()) {
            case Session::State::Connecting:
                if (node != Socket::Connecting) fail("Connecting without its node connecting", c);
                break;
            case Session::State::LoggedIn:
                if (s->heldBytes() != 0) fail("text held while logged in", c);
                if (node != Socket::Connected || !t->loggedIn)
                    fail("LoggedIn without its node connected", c);
                if (!t->node->written.startsWith(c + kCrLf))
                    fail("LoggedIn without the callsign first", c);
                break;
            case Session::State::Closing:
                if (s->heldBytes() != 0) fail("text held while closing", c);
                if (!t->peerClosed || node != Socket::Closing)
                    fail("Closing without the node having closed", c);
                break;
            case Session::State::Ended:
                fail("an ended session in the table", c);
            }
            if (t->node->reading != reading) fail("a node socket out of step with the link", c);
        }
        if (calls.size() != tb.inUse()) fail("in-use count differs from the callsigns");
        if (live.size() != tb.inUse()) fail("in-use count differs from the open sessions");
        if (gw->link().assembler().buffered() >=
            kAgwHeaderSize + static_cast<qsizetype>(FrameAssembler::kMaxDataLen))
            fail("receive buffer beyond one largest frame");
    }
};

void quiet(QtMsgType type, const QMessageLogContext&, const QString& msg) {
    if (type == QtFatalMsg) {
        std::fprintf(stderr, "%s\n", qPrintable(msg));
        std::abort();
    }
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    static int argc = 1;
    static char name[] = "fuzz_receive";
    static char* argv[] = {name, nullptr};
    static QCoreApplication app(argc, argv);
    qInstallMessageHandler(quiet);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1) return 0;
    Run run;
    run.nctl = std::min<size_t>(data[0], size - 1);
    run.ctl = data + 1;
    run.stream = data + 1 + run.nctl;
    run.nstream = size - 1 - run.nctl;
    run.check();
    while (run.ci < run.nctl)
        run.step();
    // The rest of the stream in one arrival.
    run.sentNow.clear();
    run.sentData.clear();
    run.arrival(run.take(static_cast<qsizetype>(run.nstream - run.si)));
    run.check();
    return 0;
}
