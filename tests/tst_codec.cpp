// The pure pieces of the link: frame layout, callsign fields, kind names, the text cutter, the
// node text conversion and receive reassembly.
#include "agwlink/AgwFrame.h"
#include "agwlink/FrameAssembler.h"
#include "agwlink/TextCutter.h"
#include "support/TestUtil.h"

#include <QDir>
#include <QFile>
#include <QtTest>

class tst_codec : public QObject {
    Q_OBJECT
private slots:
    void frameLayout_data();
    void frameLayout();
    void callFields_data();
    void callFields();
    void registerFrame();
    void portInfo_data();
    void portInfo();
    void kindDescription_data();
    void kindDescription();
    void cutter_data();
    void cutter();
    void radioTextOverArrivals_data();
    void radioTextOverArrivals();
    void nodeText_data();
    void nodeText();
    void assembler_data();
    void assembler();
    void assemblerOversize();
};

void tst_codec::frameLayout_data() {
    QTest::addColumn<int>("dataLen");
    QTest::newRow("no data") << 0;
    QTest::newRow("300 bytes uses the second length byte") << 300;
    QTest::newRow("65536 uses the third length byte") << 65536;
}

void tst_codec::frameLayout() {
    QFETCH(int, dataLen);
    const QByteArray data(dataLen, 'x');
    const QByteArray f = buildFrame(3, 'D', "N0CALL", "G4ABC-15", data);
    QCOMPARE(f.size(), 36 + dataLen);
    QCOMPARE(quint8(f[0]), quint8(3));
    QCOMPARE(f[4], 'D');
    QCOMPARE(f.mid(8, 10), QByteArray("N0CALL\0\0\0\0", 10));
    QCOMPARE(f.mid(18, 10), QByteArray("G4ABC-15\0\0", 10));
    const auto u = [&](int i) { return quint32(quint8(f[i])); };
    QCOMPARE(u(28) | u(29) << 8 | u(30) << 16 | u(31) << 24, quint32(dataLen));
    // Reserved bytes and Pid stay zero.
    for (int i : {1, 2, 3, 5, 6, 7, 32, 33, 34, 35})
        QCOMPARE(f[i], '\0');
    QCOMPARE(f.mid(36), data);
    const AgwHeader h = readHeader(f.constData());
    QCOMPARE(h.Port, quint8(3));
    QCOMPARE(h.DataKind, 'D');
    QCOMPARE(h.CallFrom, QByteArray("N0CALL"));
    QCOMPARE(h.CallTo, QByteArray("G4ABC-15"));
    QCOMPARE(h.DataLen, quint32(dataLen));
}

void tst_codec::callFields_data() {
    QTest::addColumn<QByteArray>("call");
    QTest::addColumn<QByteArray>("field");
    QTest::addColumn<QByteArray>("readBack");
    QTest::newRow("empty") << QByteArray() << QByteArray(10, '\0') << QByteArray();
    QTest::newRow("exactly ten, no terminating zero")
        << QByteArray("ABCDEFGHIJ") << QByteArray("ABCDEFGHIJ") << QByteArray("ABCDEFGHIJ");
    QTest::newRow("longer is cut to ten")
        << QByteArray("ABCDEFGHIJKL") << QByteArray("ABCDEFGHIJ") << QByteArray("ABCDEFGHIJ");
}

void tst_codec::callFields() {
    QFETCH(QByteArray, call);
    QFETCH(QByteArray, field);
    QFETCH(QByteArray, readBack);
    // CallTo follows CallFrom directly: a full CallFrom must not spill into it and must not
    // take CallTo's bytes when read.
    const QByteArray f = buildFrame(0, 'C', call, "TO");
    QCOMPARE(f.mid(8, 10), field);
    QCOMPARE(f.mid(18, 2), QByteArray("TO"));
    QCOMPARE(readHeader(f.constData()).CallFrom, readBack);
    QCOMPARE(readHeader(f.constData()).CallTo, QByteArray("TO"));
}

void tst_codec::registerFrame() {
    const QByteArray f = buildRegisterFrame("N0CALL-1");
    QCOMPARE(f.size(), 36);
    QByteArray expected(36, '\0');
    expected[4] = 'X';
    expected.replace(8, 8, "N0CALL-1");
    QCOMPARE(f, expected);
    QByteArray empty(36, '\0');
    empty[4] = 'X';
    QCOMPARE(buildRegisterFrame(QByteArray()), empty);
    // On a further radio port the port byte says which; the question for the ports is a bare "G".
    expected[0] = 3;
    QCOMPARE(buildRegisterFrame("N0CALL-1", 3), expected);
    QByteArray g(36, '\0');
    g[4] = 'G';
    QCOMPARE(buildPortInfoRequest(), g);
}

void tst_codec::portInfo_data() {
    QTest::addColumn<QByteArray>("data");
    QTest::addColumn<int>("count");
    QTest::addColumn<QByteArrayList>("descriptions");
    QTest::newRow("two ports") << QByteArray("2;Port1 VHF 1200 baud;Port2 UHF 9600;") << 2
                               << QByteArrayList{"Port1 VHF 1200 baud", "Port2 UHF 9600"};
    QTest::newRow("ended by a zero byte")
        << QByteArray("1;Port1 HF\0junk", 15) << 1 << QByteArrayList{"Port1 HF"};
    QTest::newRow("more descriptions than ports")
        << QByteArray("1;a;b;") << 1 << QByteArrayList{"a"};
    QTest::newRow("more ports than a port byte holds")
        << QByteArray("300;") << 256 << QByteArrayList{};
    QTest::newRow("no number") << QByteArray("ports;a;") << 0 << QByteArrayList{};
}

void tst_codec::portInfo() {
    QFETCH(QByteArray, data);
    QFETCH(int, count);
    QFETCH(QByteArrayList, descriptions);
    const PortInfo info = readPortInfo(data);
    QCOMPARE(info.count, count);
    QCOMPARE(info.descriptions, descriptions);
}

void tst_codec::kindDescription_data() {
    QTest::addColumn<QString>("kind");
    QTest::addColumn<QString>("description"); // empty: none
    QTest::newRow("D") << "D"
                       << "Connected Data";
    QTest::newRow("d differs from D") << "d"
                                      << "Disconnect an AX.25 connection";
    QTest::newRow("X") << "X"
                       << "Register CallSign";
    QTest::newRow("k, the last letter") << "k"
                                        << "Start monitoring using raw frames";
    QTest::newRow("unknown letter") << "Z"
                                    << "";
    QTest::newRow("empty") << ""
                           << "";
    QTest::newRow("two letters") << "DD"
                                 << "";
}

void tst_codec::kindDescription() {
    QFETCH(QString, kind);
    QFETCH(QString, description);
    QCOMPARE(::kindDescription(kind).value_or(QString()), description);
    QCOMPARE(::kindDescription(kind).has_value(), !description.isEmpty());
}

void tst_codec::cutter_data() {
    QTest::addColumn<QByteArray>("text");
    QTest::addColumn<int>("packetLength");
    QTest::addColumn<QList<QByteArray>>("pieces");
    using L = QList<QByteArray>;
    QTest::newRow("two lines share a piece") << QByteArray("a\r\nb\r\n") << 130 << L{"a\rb\r"};
    QTest::newRow("a last line without LF goes alone")
        << QByteArray("a\r\nb") << 130 << L{"a\r", "b"};
    QTest::newRow("empty lines become bare CRs") << QByteArray("a\n\nb\n") << 130 << L{"a\r\rb\r"};
    QTest::newRow("a CR alone ends a line") << QByteArray("a\rb\r") << 130 << L{"a\rb\r"};
    QTest::newRow("CR CR LF: two line ends") << QByteArray("a\r\r\nb") << 130 << L{"a\r\r", "b"};
    QTest::newRow("empty text sends nothing") << QByteArray() << 130 << L{};
    QTest::newRow("two CRs are two empty lines") << QByteArray("\r\r") << 130 << L{"\r\r"};
    QTest::newRow("one empty line") << QByteArray("\r\n") << 130 << L{"\r"};
    QTest::newRow("one character") << QByteArray("x") << 130 << L{"x"};
    QTest::newRow("300 characters at 130")
        << QByteArray(300, 'x') << 130
        << L{QByteArray(130, 'x'), QByteArray(130, 'x'), QByteArray(40, 'x')};
    QByteArray three =
        QByteArray(10, 'a') + "\r\n" + QByteArray(50, 'b') + "\r\n" + QByteArray(60, 'c') + "\r\n";
    QTest::newRow("lines of 10, 50 and 60 make one piece of 123")
        << three << 130
        << L{QByteArray(10, 'a') + '\r' + QByteArray(50, 'b') + '\r' + QByteArray(60, 'c') + '\r'};
    QTest::newRow("a long line ends with its CR in the last piece")
        << QByteArray(10, 'y') + "\n"
        << 4 << L{"yyyy", "yyyy", "yy\r"};
    QTest::newRow("one line that fits exactly with its CR") << QByteArray(29, 'w') + "\r\n"
                                                            << 30 << L{QByteArray(29, 'w') + '\r'};
    QTest::newRow("one line a character too long for that") << QByteArray(30, 'w') + "\r\n"
                                                            << 30 << L{QByteArray(30, 'w'), "\r"};
    QTest::newRow("look-ahead stops at packetLength - 2")
        << QByteArray("aaaaa\nbbbb\ncc\n") << 12 << L{"aaaaa\r", "bbbb\rcc\r"};
    QTest::newRow("look-ahead just under the limit")
        << QByteArray("aaaa\nbbbb\ncc\n") << 12 << L{"aaaa\rbbbb\r", "cc\r"};
    QTest::newRow("packet length 0 cuts at 130")
        << QByteArray(131, 'z') << 0 << L{QByteArray(130, 'z'), QByteArray(1, 'z')};
    QTest::newRow("negative packet length cuts at 130")
        << QByteArray(131, 'z') << -5 << L{QByteArray(130, 'z'), QByteArray(1, 'z')};
}

void tst_codec::cutter() {
    QFETCH(QByteArray, text);
    QFETCH(int, packetLength);
    QFETCH(QList<QByteArray>, pieces);
    QCOMPARE(cutForAx25(text, packetLength), pieces);
}

// A node's text comes in arrivals that may part a CR LF: still one line end.
void tst_codec::radioTextOverArrivals_data() {
    QTest::addColumn<QByteArrayList>("arrivals");
    QTest::addColumn<QByteArray>("radio");
    QTest::newRow("CR | LF") << QByteArrayList{"a\r", "\nb\r\n"} << QByteArray("a\rb\r");
    QTest::newRow("CR | CR") << QByteArrayList{"a\r", "\rb"} << QByteArray("a\r\rb");
    QTest::newRow("LF | LF") << QByteArrayList{"a\n", "\n"} << QByteArray("a\r\r");
}

void tst_codec::radioTextOverArrivals() {
    QFETCH(QByteArrayList, arrivals);
    QFETCH(QByteArray, radio);
    QByteArray out;
    bool afterCr = false;
    for (const QByteArray& a : arrivals)
        out += toRadioText(a, &afterCr);
    QCOMPARE(out, radio);
}

void tst_codec::nodeText_data() {
    QTest::addColumn<QByteArray>("data");
    QTest::addColumn<QByteArray>("node");
    QTest::newRow("CR gets an LF") << QByteArray("hi\r") << QByteArray("hi\r\n");
    QTest::newRow("CR LF stays CR LF") << QByteArray("hi\r\nho\r\n") << QByteArray("hi\r\nho\r\n");
    QTest::newRow("CR, zero, LF") << QByteArray("hi\r\0\n", 5) << QByteArray("hi\r\n");
    QTest::newRow("zero bytes dropped") << QByteArray("a\0b\0", 4) << QByteArray("ab");
    QTest::newRow("LF alone stays") << QByteArray("a\nb") << QByteArray("a\nb");
    QTest::newRow("zero bytes between CRs")
        << QByteArray("\0\r\0\r\0", 5) << QByteArray("\r\n\r\n");
}

void tst_codec::nodeText() {
    QFETCH(QByteArray, data);
    QFETCH(QByteArray, node);
    QCOMPARE(toNodeText(data), node);
}

void tst_codec::assembler_data() {
    QTest::addColumn<int>("chunk");
    QTest::newRow("all at once") << 100000;
    QTest::newRow("one byte at a time") << 1;
    QTest::newRow("arrivals ending inside headers") << 7;
    QTest::newRow("arrivals of 37") << 37;
}

void tst_codec::assembler() {
    QFETCH(int, chunk);
    QList<QByteArray> frames;
    QByteArray stream;
    for (int i = 0; i < 50; ++i) {
        frames << buildFrame(quint8(i), 'D', "U" + QByteArray::number(i), "C",
                             QByteArray(i * 7 % 300, char('a' + i % 26)));
        stream += frames.last();
    }
    FrameAssembler a;
    QList<QByteArray> got;
    for (qsizetype at = 0; at < stream.size(); at += chunk) {
        a.append(QByteArrayView(stream).sliced(at, qMin<qsizetype>(chunk, stream.size() - at)));
        QByteArrayView f;
        while (a.next(f) == FrameAssembler::Next::Frame)
            got << f.toByteArray();
    }
    QCOMPARE(got, frames);
    QVERIFY(!a.partial());
}

void tst_codec::assemblerOversize() {
    FrameAssembler a;
    QByteArray header = buildFrame(0, 'D', "A", "B");
    header[30] = 1; // DataLen 65536
    a.append(header);
    QByteArrayView f;
    QCOMPARE(a.next(f), FrameAssembler::Next::NeedMore);
    header[28] = 1; // 65537
    a.clear();
    a.append(header);
    quint32 announced = 0;
    QCOMPARE(a.next(f, &announced), FrameAssembler::Next::Oversize);
    QCOMPARE(announced, quint32(65537));
}

QTEST_GUILESS_MAIN(tst_codec)
#include "tst_codec.moc"
