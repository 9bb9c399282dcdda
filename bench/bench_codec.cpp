// Micro benchmarks of the per-frame work: building and reading frames, reassembling the engine's
// byte stream, cutting node text for radio users, and the whole receive and send paths of the
// gateway on stand-in sockets with few and with many users connected.
#include "agwlink/AgwFrame.h"
#include "agwlink/FrameAssembler.h"
#include "agwlink/TextCutter.h"
#include "relay/Receiver.h"
#include "relay/SessionTable.h"
#include "support/Fakes.h"

#include <QCoreApplication>
#include <benchmark/benchmark.h>

#include <map>
#include <memory>

namespace {

// A small deterministic generator, so every run sees the same sizes.
struct Lcg {
    quint64 s = 0x2545F4914F6CDD1DULL;
    quint32 next() {
        s = s * 6364136223846793005ULL + 1442695040888963407ULL;
        return quint32(s >> 33);
    }
    // Uniform in [lo, hi].
    int between(int lo, int hi) { return lo + int(next() % quint32(hi - lo + 1)); }
};

QByteArray line(int n, char end = '\r') {
    QByteArray l;
    for (int i = 0; i < n; ++i)
        l += char('a' + i % 26);
    if (end) l += end;
    return l;
}

// ---- frames
// --------------------------------------------------------------------------------------

void BM_BuildFrame(benchmark::State& state) {
    const QByteArray data = line(int(state.range(0)), 0);
    const QByteArray from("GB7TC"), to("G4ABC-15");
    for (auto _ : state) {
        QByteArray f = buildFrame(0, 'D', from, to, data);
        benchmark::DoNotOptimize(f.data());
    }
    state.SetBytesProcessed(state.iterations() * (kAgwHeaderSize + data.size()));
}
BENCHMARK(BM_BuildFrame)->Arg(0)->Arg(80)->Arg(256);

void BM_ReadHeader(benchmark::State& state) {
    const QByteArray f = buildFrame(1, 'D', "G4ABC-15", "GB7TC", line(80));
    for (auto _ : state) {
        AgwHeader h = readHeader(f.constData());
        benchmark::DoNotOptimize(h);
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_ReadHeader);

// ---- reassembly
// ----------------------------------------------------------------------------------

// `total` bytes of small "D" frames (1 to 120 data bytes), cut into arrivals the way reads of a
// busy TCP connection come: from one frame's worth up to 64 KiB, sizes spread evenly on a log
// scale, most of them ending inside a frame.
struct Arrivals {
    QByteArray stream;
    QList<QByteArrayView> chunks;
    qint64 frames = 0;
};

const Arrivals& arrivals(qint64 total) {
    static std::map<qint64, Arrivals> cache;
    Arrivals& a = cache[total];
    if (!a.stream.isEmpty()) return a;
    Lcg r;
    a.stream.reserve(total + 256);
    while (a.stream.size() < total) {
        a.stream += buildFrame(0, 'D', "G4ABC-15", "GB7TC", line(r.between(1, 120)));
        ++a.frames;
    }
    qsizetype at = 0;
    while (at < a.stream.size()) {
        const int size = int(std::exp2(r.between(600, 1600) / 100.0)); // 64 B to 64 KiB
        const qsizetype n = std::min<qsizetype>(size, a.stream.size() - at);
        a.chunks << QByteArrayView(a.stream.constData() + at, n);
        at += n;
    }
    return a;
}

void BM_Reassembly(benchmark::State& state) {
    const Arrivals& a = arrivals(state.range(0));
    for (auto _ : state) {
        FrameAssembler fa;
        qint64 frames = 0, bytes = 0;
        for (const QByteArrayView& chunk : a.chunks) {
            fa.append(chunk);
            QByteArrayView frame;
            while (fa.next(frame) == FrameAssembler::Next::Frame) {
                ++frames;
                bytes += frame.size();
            }
        }
        if (frames != a.frames || bytes != a.stream.size() || fa.partial())
            state.SkipWithError("frames lost or damaged in reassembly");
        benchmark::DoNotOptimize(bytes);
    }
    state.SetBytesProcessed(state.iterations() * a.stream.size());
    state.SetItemsProcessed(state.iterations() * a.frames);
}
BENCHMARK(BM_Reassembly)->Arg(64 << 10)->Arg(1 << 20)->Arg(16 << 20)->Unit(benchmark::kMicrosecond);

// ---- text for radio users
// ------------------------------------------------------------------------

QByteArray nodeText(int which) {
    QByteArray t;
    switch (which) {
    case 0: // one spot line
        t = line(78, 0) + "\r\n";
        break;
    case 1: // a burst of ten 80-character lines, as a node writes a "sh/dx"
        for (int i = 0; i < 10; ++i)
            t += line(80, 0) + "\r\n";
        break;
    case 2: // 300 characters without a line end: cut into 130, 130 and 40
        t = line(300, 0);
        break;
    default: // 64 KiB of short lines, which gather into shared pieces
        while (t.size() < 65536)
            t += line(20, 0) + "\r\n";
        break;
    }
    return t;
}

void BM_CutForAx25(benchmark::State& state) {
    const QByteArray text = nodeText(int(state.range(0)));
    static const char* names[] = {"spot line", "10 lines", "300 chars, no LF",
                                  "64 KiB short lines"};
    state.SetLabel(names[state.range(0)]);
    for (auto _ : state) {
        QList<QByteArray> pieces = cutForAx25(text, 130);
        benchmark::DoNotOptimize(pieces.data());
    }
    state.SetBytesProcessed(state.iterations() * text.size());
}
BENCHMARK(BM_CutForAx25)->DenseRange(0, 3);

void BM_ToNodeText(benchmark::State& state) {
    const QByteArray data = line(80);
    for (auto _ : state) {
        QByteArray out = toNodeText(data);
        benchmark::DoNotOptimize(out.data());
    }
    state.SetBytesProcessed(state.iterations() * data.size());
}
BENCHMARK(BM_ToNodeText);

// ---- the gateway on stand-in sockets
// -------------------------------------------------------------

// A gateway with `users` radio users connected and logged in at the node, on stand-in sockets and
// a recorded feed of its reports. Built once per user count.
struct Rig {
    StandInGateway sb;
    FakeSocket* engine = nullptr;
    std::vector<FakeSocket*> nodes; // [u]: user u's node connection

    int users;

    explicit Rig(int n) : users(n) {
        sb.settings.keepAliveMinutes = 5;
        sb.startBare("GB7TC", 130);
        engine = sb.agw;
        QByteArray connects;
        for (int u = 1; u <= users; ++u)
            connects += buildFrame(0, 'C', call(u), "GB7TC", "*** CONNECTED To Station GB7TC\r");
        sb.gw->link().handleArrival(connects, connects.size());
        nodes.push_back(nullptr);
        for (int u = 1; u <= users; ++u) {
            FakeSocket* s = sb.node(call(u));
            if (!s) qFatal("user %d has no session", u);
            s->makeConnected();
            s->written.clear();
            nodes.push_back(s);
        }
        if (sb.gw->sessions().inUse() != users)
            qFatal("only %d users connected", sb.gw->sessions().inUse());
        engine->written.clear();
    }
    static QByteArray call(int u) { return "SIM" + QByteArray::number(u); }
    FakeSocket& node(int u) { return *nodes.at(size_t(u)); }
};

// One rig at a time: the timers and sockets of another would share the event dispatcher's
// lists with it and blur the comparison.
std::unique_ptr<Rig>& current() {
    static std::unique_ptr<Rig> r;
    return r;
}

Rig& rig(int users) {
    auto& r = current();
    if (!r || r->users != users) {
        r.reset();
        r = std::make_unique<Rig>(users);
    }
    return *r;
}

// Users that the frames of one arrival come from: spread over the whole table.
int spread(int k, int users) {
    return 1 + int((qint64(k) * 7919) % users);
}

// The engine's "D" frames, 64 to an arrival, each from another user, through reassembly, the
// monitor and dispatch to the users' node connections.
void BM_ReceivePath(benchmark::State& state) {
    const int users = int(state.range(0));
    Rig& r = rig(users);
    constexpr int kFrames = 64;
    QByteArray arrival;
    std::vector<FakeSocket*> targets;
    for (int k = 0; k < kFrames; ++k) {
        const int u = spread(k, users);
        arrival += buildFrame(0, 'D', Rig::call(u), "GB7TC", line(60));
        targets.push_back(&r.node(u));
    }
    // Every frame must reach its user's node connection, none be answered with a disconnect.
    r.sb.gw->link().handleArrival(arrival, arrival.size());
    for (FakeSocket* s : targets)
        if (s->written.isEmpty()) state.SkipWithError("a frame did not reach the node");
    if (!r.engine->written.isEmpty()) state.SkipWithError("the gateway answered the engine");
    for (FakeSocket* s : targets)
        s->written.resize(0);
    for (auto _ : state) {
        r.sb.gw->link().handleArrival(arrival, arrival.size());
        for (FakeSocket* s : targets)
            s->written.resize(0);
    }
    if (r.sb.gw->link().assembler().partial()) state.SkipWithError("frames left over");
    state.SetItemsProcessed(state.iterations() * kFrames);
    state.SetLabel("D frames");
}
BENCHMARK(BM_ReceivePath)->Arg(10)->Arg(5000)->Unit(benchmark::kMicrosecond);

// Node text for one user after another (or all for one busy user): the node socket's arrival,
// the keep-alive restart, the sending to the radio user, the frame to the engine.
void BM_SendPath(benchmark::State& state) {
    const int users = int(state.range(0));
    const bool oneUser = state.range(1) != 0;
    Rig& r = rig(users);
    const QByteArray text = line(80, 0) + "\r\n";
    r.node(1).deliver(text);
    if (r.engine->written.isEmpty()) state.SkipWithError("the node text did not reach the engine");
    r.engine->written.resize(0);
    int k = 0;
    for (auto _ : state) {
        r.node(oneUser ? users : spread(k++, users)).deliver(text);
        r.engine->written.resize(0);
    }
    state.SetItemsProcessed(state.iterations());
    state.SetLabel(oneUser ? "node lines, all for one user" : "node lines, users in turn");
}
BENCHMARK(BM_SendPath)->Args({10, 0})->Args({5000, 0})->Args({10, 1})->Args({5000, 1});

} // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    current().reset(); // before the application object goes
    return 0;
}
