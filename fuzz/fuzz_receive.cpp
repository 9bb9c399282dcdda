// The receive side under arbitrary input: bytes from the engine cut into arbitrary arrivals,
// mixed with events of the cluster connections and of the AGW link, against a whole Gateway on
// stand-in sockets.
//
// Input: [n] [n control bytes] [stream bytes]. Each control byte is an operation (low 3 bits) and
// an argument (high 5 bits); some take the following control byte(s) too. Sizes are size(arg):
// a table of 31 sizes around frame boundaries, or for arg 31 the next two control bytes (big
// endian). When the control bytes are done, the rest of the stream is one last arrival.
//   0 arrival    the next size(arg) stream bytes arrive from the engine
//   1 node event next control byte picks the stream; arg & 3: 0 connected (while connecting),
//                1 closed by the node, 2 error, 3 keep-alive tick
//   2 node text  next control byte picks the stream; the next size(arg) stream bytes come from
//                the node (while connected or closing)
//   3 node queue next control byte picks the stream; arg & 1: the node stops / resumes reading
//   4 link event arg & 7: the engine stops reading, resumes, closes the link, Timer1 tick,
//                connected, error, "Kick", the window closes the link
//   5 packet length from a table of interesting values
//   6 keep-alive minutes = arg - 2
//   7 last words next control byte picks the stream; the node sends size(arg) stream bytes and
//                closes at once
//
// Checked after every operation:
// - the engine receives whole frames only, each 36 + DataLen bytes, reserved bytes and Pid zero;
//   "X" only on a connect, "D" with 1 to PacketLength (130 when below 1) data bytes, "d" without
//   data; "D" and "d" from the cluster callsign;
// - "D" goes only to the user whose node spoke, "d" only to a station that sent data in this
//   arrival or to the user whose cluster connection ended;
// - the node never sees a zero byte or a CR without LF, and the first line on every connection
//   is the user's callsign;
// - the table: one slot per callsign, usable callsigns only, in-use count equal to the distinct
//   callsigns, held text within its bound and only on slots in use;
// - the receive buffer holds less than one largest frame and as much as a shadow reassembly;
// - the cluster connections are read exactly while the engine's queue is not congested.
#include "agwlink/AgwFrame.h"
#include "agwlink/AgwLink.h"
#include "agwlink/AgwReceiver.h"
#include "agwlink/AxSender.h"
#include "agwlink/FrameAssembler.h"
#include "config/Module1.h"
#include "net/Platform.h"
#include "streams/StreamTable.h"
#include "support/Fakes.h"
#include "ui/Gateway.h"

#include <QByteArray>
#include <QCoreApplication>
#include <QSet>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>

namespace {

const QByteArray kCall = QByteArrayLiteral("GB7TC");

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

struct Run {
    FakeMonitor monitor;
    FakeHost host;
    FakeSocketPool agwPool, nodePool;
    std::unique_ptr<Gateway> gw;
    FakeSocket* agw = nullptr;
    FrameAssembler shadow;
    // Node bytes already checked, per socket.
    std::vector<qsizetype> nodeChecked;

    const uint8_t* ctl = nullptr;
    size_t nctl = 0, ci = 0;
    const uint8_t* stream = nullptr;
    size_t nstream = 0, si = 0;

    // What may be sent to the engine during the current operation.
    QSet<QByteArray> mayDisconnect;
    QByteArray mayTalkTo;

    Run() {
        gw = std::make_unique<Gateway>(monitor, host, agwPool.factory(), nodePool.factory());
        gw->sender().setClusterCall(kCall);
        agw = agwPool.made.at(0);
        gw->link().open();
        linkConnected();
    }
    ~Run() {
        // As the window does: the link first, then everything else.
        gw->closeLink();
        gw.reset();
    }

    StreamTable& table() { return gw->streams(); }

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
    // A stream index from the next control byte; 0 when there is none yet.
    int pickStream() {
        const int n = table().highestIndex();
        const int b = nextCtl();
        if (n < 1 || b < 0) return 0;
        return 1 + b % n;
    }
    FakeSocket* node(int i) { return nodePool.made.at(static_cast<size_t>(i)); }

    void linkConnected() {
        if (agw->state() != Socket::Connecting) return;
        shadow.clear(); // a new connection starts with an empty buffer
        agw->makeConnected();
        const QList<QByteArray> frames = splitFrames(agw->written);
        if (frames.size() != 1 || frames[0] != buildRegisterFrame(kCall))
            fail("connect without exactly one registration", agw->written);
        agw->written.clear();
    }

    void arrival(const QByteArray& bytes) {
        mayDisconnect.clear();
        shadow.append(bytes);
        for (;;) {
            QByteArrayView f;
            const FrameAssembler::Next next = shadow.next(f);
            if (next == FrameAssembler::Next::NeedMore) break;
            if (next == FrameAssembler::Next::Oversize) {
                shadow.clear();
                break;
            }
            const AgwHeader h = readHeader(f.data());
            if (h.DataKind == 'D') mayDisconnect.insert(h.CallFrom);
        }
        gw->receiver().handleArrival(bytes, bytes.size());
        if (gw->receiver().assembler().buffered() != shadow.buffered())
            fail("receive buffer differs from the frames taken");
    }

    void nodeEvent(int kind, int i) {
        FakeSocket* s = node(i);
        const int st = s->state();
        switch (kind) {
        case 0:
            if (st >= Socket::ConnectionPending && st <= Socket::Connecting) {
                s->written.clear();
                nodeChecked[static_cast<size_t>(i)] = 0;
                const QByteArray call = table().callsign(i);
                s->makeConnected();
                if (!s->written.startsWith(call + "\r\n")) fail("login is not the callsign", call);
            }
            break;
        case 1:
            if (st == Socket::Connected) {
                mayDisconnect.insert(table().callsign(i));
                mayTalkTo = table().callsign(i);
                s->peerClose();
            }
            break;
        case 2:
            if (st >= Socket::ConnectionPending && st <= Socket::Connected) {
                mayDisconnect.insert(table().callsign(i));
                s->fail(QStringLiteral("Connection reset by peer"));
            }
            break;
        default:
            emit table().keepAliveTick(i);
            break;
        }
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
            if (agw->state() == Socket::Connected) agw->peerClose();
            break;
        case 3:
            gw->link().Timer1_Timer();
            break;
        case 4:
            linkConnected();
            break;
        case 5:
            if (agw->state() >= Socket::ConnectionPending && agw->state() <= Socket::Connected)
                agw->fail(QStringLiteral("Connection reset by peer"));
            break;
        case 6:
            gw->kick_Click();
            break;
        default:
            gw->closeLink();
            break;
        }
        if (agw->state() != Socket::Connected) agw->pending = 0;
    }

    void step() {
        mayDisconnect.clear();
        mayTalkTo.clear();
        const int c = nextCtl();
        const int op = c & 7, arg = c >> 3;
        switch (op) {
        case 0:
            arrival(take(size(arg)));
            break;
        case 1:
            if (const int i = pickStream()) nodeEvent(arg & 3, i);
            break;
        case 2: {
            const int i = pickStream();
            const QByteArray text = take(size(arg));
            if (i &&
                (node(i)->state() == Socket::Connected || node(i)->state() == Socket::Closing)) {
                mayTalkTo = table().callsign(i);
                node(i)->deliver(text);
            }
            break;
        }
        case 3:
            if (const int i = pickStream())
                node(i)->pending = (arg & 1) ? StreamTable::kMaxNodeQueue + 1 : 0;
            break;
        case 4:
            linkEvent(arg & 7);
            break;
        case 5:
            Module1::settings().PacketLength = kPacketLengths[arg];
            break;
        case 6:
            Module1::settings().KeepAliveMinutes = arg - 2;
            break;
        default: {
            const int i = pickStream();
            const QByteArray text = take(size(arg));
            if (i && node(i)->state() == Socket::Connected) {
                mayTalkTo = table().callsign(i);
                mayDisconnect.insert(table().callsign(i));
                node(i)->incoming += text;
                node(i)->peerClose();
            }
            break;
        }
        }
        check();
    }

    void check() {
        checkEngine();
        checkNodes();
        checkTable();
    }

    void checkEngine() {
        const qint32 setting = Module1::settings().PacketLength;
        const qsizetype len = setting < 1 ? 130 : setting;
        const QByteArray& w = agw->written;
        qsizetype at = 0;
        while (at < w.size()) {
            if (w.size() - at < kAgwHeaderSize) fail("part of a header sent", w.mid(at));
            const char* p = w.constData() + at;
            const AgwHeader h = readHeader(p);
            const qsizetype total = kAgwHeaderSize + static_cast<qsizetype>(h.DataLen);
            if (w.size() - at < total) fail("part of a frame sent", w.mid(at, 36));
            for (const int r : {1, 2, 3, 5, 7, 32, 33, 34, 35})
                if (p[r] != 0) fail("reserved byte set", w.mid(at, 36));
            if (h.Pid != 0) fail("Pid not zero", w.mid(at, 36));
            if (h.CallFrom != kCall) fail("not from the cluster callsign", w.mid(at, 36));
            if (h.DataKind == 'D') {
                if (h.DataLen < 1 || h.DataLen > static_cast<quint32>(len))
                    fail("D frame outside the packet length", w.mid(at, 36));
                if (h.CallTo != mayTalkTo || mayTalkTo.isEmpty())
                    fail("D frame to a user whose node did not speak", w.mid(at, 36));
            } else if (h.DataKind == 'd') {
                if (h.DataLen != 0) fail("d frame with data", w.mid(at, 36));
                if (h.CallTo.isEmpty()) fail("d frame to nobody", w.mid(at, 36));
                if (!mayDisconnect.contains(h.CallTo))
                    fail("d frame to an uninvolved station", w.mid(at, 36));
            } else {
                fail("unexpected kind sent", w.mid(at, 36));
            }
            at += total;
        }
        agw->written.clear();
    }

    void checkNodes() {
        nodeChecked.resize(nodePool.made.size(), 0);
        for (size_t k = 0; k < nodePool.made.size(); ++k) {
            const QByteArray& w = nodePool.made[k]->written;
            for (qsizetype at = nodeChecked[k]; at < w.size(); ++at) {
                if (w[at] == '\0') fail("zero byte sent to the node");
                if (w[at] == '\r' && (at + 1 >= w.size() || w[at + 1] != '\n'))
                    fail("CR without LF sent to the node", w.right(16));
            }
            nodeChecked[k] = w.size();
        }
    }

    void checkTable() {
        StreamTable& t = table();
        QSet<QByteArray> calls;
        for (int i = 1; i <= t.highestIndex(); ++i) {
            const QByteArray& c = t.callsign(i);
            if (t.held(i).size() > StreamTable::kMaxHeldBytes) fail("held text over its bound");
            if (c.isEmpty()) {
                if (!t.held(i).isEmpty()) fail("held text on a free slot");
                continue;
            }
            if (!usableCall(c)) fail("unusable callsign in the table", c);
            if (calls.contains(c)) fail("callsign in two slots", c);
            calls.insert(c);
            if (t.find(c) != i) fail("lookup does not find the slot", c);
        }
        if (calls.size() != t.inUse()) fail("in-use count differs from the callsigns");
        if (gw->receiver().assembler().buffered() >=
            kAgwHeaderSize + static_cast<qsizetype>(FrameAssembler::kMaxDataLen))
            fail("receive buffer beyond one largest frame");
        const bool reading = !gw->link().congested();
        if (t.readingAll() != reading) fail("cluster reading out of step with the link");
        for (size_t k = 1; k < nodePool.made.size(); ++k)
            if (nodePool.made[k]->reading != reading) fail("a cluster socket out of step");
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
    // Nothing can be written below a device: every log line costs one failed open.
    platform::setAppDir(QStringLiteral("/dev/null/pktgate-fuzz"));
    platform::timing().connectSleepMs = 0;
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1) return 0;
    Module1::settings() = Module1::Settings{};
    Module1::settings().ClusterCall = QString::fromLatin1(kCall);
    Module1::settings().PacketLength = 130;
    Run run;
    run.nctl = std::min<size_t>(data[0], size - 1);
    run.ctl = data + 1;
    run.stream = data + 1 + run.nctl;
    run.nstream = size - 1 - run.nctl;
    run.check();
    while (run.ci < run.nctl)
        run.step();
    // The rest of the stream in one arrival.
    run.mayTalkTo.clear();
    run.arrival(run.take(static_cast<qsizetype>(run.nstream - run.si)));
    run.check();
    return 0;
}
