#include "tools/SimProtocol.h"

#include <cmath>

namespace sim {

QList<QByteArray> LineSplitter::append(const QByteArray& bytes) {
    QList<QByteArray> lines;
    for (const char c : bytes) {
        if (c == '\n') {
            if (m_afterCr) {
                m_afterCr = false; // the LF of a CR LF: the line already ended
                continue;
            }
            lines.append(m_partial);
            m_partial.clear();
        } else if (c == '\r') {
            lines.append(m_partial);
            m_partial.clear();
            m_afterCr = true;
        } else {
            m_afterCr = false;
            m_partial.append(c);
        }
    }
    return lines;
}

QByteArray connectedText(const QByteArray& call) {
    return QByteArray("*** CONNECTED To Station ") + call + '\r' + '\0';
}

QByteArray disconnectedText(const QByteArray& call) {
    return QByteArray("*** DISCONNECTED From Station ") + call + '\r' + '\0';
}

QByteArray buildFrameWithPid(quint8 port, char kind, quint8 pid, const QByteArray& callFrom,
                             const QByteArray& callTo, const QByteArray& data) {
    QByteArray f = buildFrame(port, kind, callFrom, callTo, data);
    f[6] = static_cast<char>(pid);
    return f;
}

QByteArray buildVersionFrame(quint32 major, quint32 minor) {
    QByteArray data(8, '\0');
    for (int i = 0; i < 4; ++i) {
        data[i] = static_cast<char>((major >> (8 * i)) & 0xff);
        data[4 + i] = static_cast<char>((minor >> (8 * i)) & 0xff);
    }
    return buildFrame(0, 'R', QByteArray(), QByteArray(), data);
}

QByteArray buildPortInfoFrame(int ports) {
    QByteArray text = QByteArray::number(ports) + ';';
    for (int p = 1; p <= ports; ++p)
        text +=
            "Port" + QByteArray::number(p) + " Simulated radio port " + QByteArray::number(p) + ';';
    return buildFrame(0, 'G', QByteArray(), QByteArray(), text);
}

QByteArray buildRegisteredFrame(const QByteArray& call) {
    return buildFrame(0, 'X', call, QByteArray(), QByteArray(1, '\1'));
}

QByteArray buildOutstandingFrame(quint8 port, const QByteArray& callFrom, const QByteArray& callTo,
                                 quint32 frames) {
    QByteArray data(4, '\0');
    for (int i = 0; i < 4; ++i)
        data[i] = static_cast<char>((frames >> (8 * i)) & 0xff);
    return buildFrame(port, 'Y', callFrom, callTo, data);
}

QByteArray toRadioText(const QByteArray& nodeText) {
    QByteArray out;
    out.reserve(nodeText.size());
    bool afterCr = false;
    for (const char c : nodeText) {
        if (c == '\n' && afterCr) {
            afterCr = false;
            continue;
        }
        afterCr = c == '\r';
        out.append(c == '\n' ? '\r' : c);
    }
    return out;
}

QByteArrayView loginCall(QByteArrayView received) {
    if (isProxyLine(received)) received = received.sliced(received.indexOf('\n') + 1);
    const qsizetype end = received.indexOf("\r\n");
    return end < 0 ? QByteArrayView() : received.first(end);
}

QList<QByteArray> splitForWrites(const QByteArray& frame) {
    const qsizetype n = frame.size();
    const qsizetype headerEnd = qMin<qsizetype>(n, kAgwHeaderSize);
    const qsizetype dataMid = headerEnd + (n - headerEnd) / 2;
    const qsizetype cuts[] = {0, qMin<qsizetype>(n, 1), qMin<qsizetype>(n, 20), headerEnd, dataMid,
                              n};
    QList<QByteArray> pieces;
    for (size_t i = 1; i < std::size(cuts); ++i)
        if (cuts[i] > cuts[i - 1]) pieces.append(frame.mid(cuts[i - 1], cuts[i] - cuts[i - 1]));
    return pieces;
}

QByteArray formatSpotLine(const Spot& spot) {
    const QByteArray who = (spot.spotter + ':').left(7).leftJustified(7, ' ');
    const QByteArray freq = QByteArray::number(spot.freqKHz, 'f', 1).rightJustified(11, ' ');
    const QByteArray dx = spot.dxCall.left(12).leftJustified(12, ' ');
    const QByteArray text = spot.comment.left(31).leftJustified(31, ' ');
    const QByteArray time = spot.utc.toString(QStringLiteral("HHmm")).toLatin1();
    return "DX de " + who + freq + "  " + dx + ' ' + text + ' ' + time + 'Z';
}

QByteArray formatShowDxLine(const Spot& spot) {
    static const char* const months[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                         "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
    const QDate d = spot.utc.date();
    const QByteArray date = QByteArray::number(d.day()).rightJustified(2, '0') + '-' +
                            months[qBound(1, d.month(), 12) - 1] + '-' +
                            QByteArray::number(d.year());
    const QByteArray freq = QByteArray::number(spot.freqKHz, 'f', 1).rightJustified(9, ' ');
    const QByteArray dx = spot.dxCall.left(12).leftJustified(12, ' ');
    const QByteArray time = spot.utc.toString(QStringLiteral("HHmm")).toLatin1();
    const QByteArray text = spot.comment.left(30).leftJustified(30, ' ');
    return freq + "  " + dx + date + ' ' + time + "Z " + text + " <" + spot.spotter + '>';
}

QByteArray SpotGenerator::randomCall() {
    static const char* const prefixes[] = {"K",  "W",  "N",  "G",  "M",  "DL", "F",  "JA", "VK",
                                           "EA", "I",  "PA", "OH", "SM", "VE", "ZS", "LU", "PY",
                                           "ON", "OK", "SP", "HA", "YO", "LZ", "9A", "S5", "ZL"};
    QByteArray call = prefixes[m_random.bounded(int(std::size(prefixes)))];
    call += char('0' + m_random.bounded(10));
    const int letters = 2 + m_random.bounded(2);
    for (int i = 0; i < letters; ++i)
        call += char('A' + m_random.bounded(26));
    return call;
}

Spot SpotGenerator::next(const QDateTime& utc) {
    static const double bands[] = {1810, 3500, 7000, 10100, 14000, 18068, 21000, 24890, 28000};
    static const char* const comments[] = {"CW 599",  "CW 25 wpm",       "FT8 -12dB", "FT8 +03dB",
                                           "SSB 59",  "RTTY 599",        "up 2",      "QSX 14.195",
                                           "tnx QSO", "loud, short path"};
    Spot s;
    s.freqKHz = bands[m_random.bounded(int(std::size(bands)))] + m_random.bounded(700) / 10.0;
    s.spotter = randomCall();
    s.dxCall = randomCall();
    s.comment = comments[m_random.bounded(int(std::size(comments)))];
    s.utc = utc;
    return s;
}

qint64 dueCount(double rate, qint64 elapsedMs, qint64 done) {
    if (!(rate > 0) || elapsedMs <= 0) return 0;
    const double total = std::floor(rate * double(elapsedMs) / 1000.0);
    const qint64 due = qint64(total) - done;
    return due > 0 ? due : 0;
}

} // namespace sim
