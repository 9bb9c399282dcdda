#include "relay/NodeLogin.h"

namespace {
const QByteArray kPrompt = QByteArrayLiteral("login:");

// Whether the first n bytes of data are the first n of the prompt, in any case.
bool matchesPrompt(const QByteArray& data, qsizetype n) {
    for (qsizetype i = 0; i < n; ++i) {
        const char c = data[i];
        const char lower = c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
        if (lower != kPrompt[i]) return false;
    }
    return true;
}

std::optional<quint32> ipv4(const QHostAddress& a) {
    bool ok = false;
    const quint32 v4 = a.toIPv4Address(&ok);
    if (!ok) return std::nullopt;
    return v4;
}
} // namespace

QByteArray proxyHeaderLine(const QHostAddress& source, quint16 sourcePort, const QHostAddress& node,
                           quint16 nodePort) {
    if (node.isNull() || source.isNull()) return QByteArray();
    const auto source4 = ipv4(source);
    const auto node4 = ipv4(node);
    QByteArray line;
    if (source4 && node4) {
        line = "PROXY TCP4 " + QHostAddress(*source4).toString().toLatin1() + ' ' +
               QHostAddress(*node4).toString().toLatin1();
    } else {
        // Both ends of one family: an IPv4 address among IPv6 ones is written IPv4-mapped.
        const auto six = [](const QHostAddress& a, const std::optional<quint32>& v4) {
            QHostAddress b =
                v4 ? QHostAddress(QStringLiteral("::ffff:") + QHostAddress(*v4).toString()) : a;
            b.setScopeId(QString());
            return b.toString().toLatin1();
        };
        line = "PROXY TCP6 " + six(source, source4) + ' ' + six(node, node4);
    }
    return line + ' ' + QByteArray::number(sourcePort) + ' ' + QByteArray::number(nodePort) +
           "\r\n";
}

QByteArray proxyHeaderFor(const QHostAddress& source, const Socket& node) {
    const Socket::Endpoints ends = node.endpoints();
    if (!ends.peer.isNull())
        return proxyHeaderLine(source, ends.localPort, ends.peer, ends.peerPort);
    // Not connected yet: the system picks the local port.
    return proxyHeaderLine(source, 0, QHostAddress(node.remoteHost()), node.remotePort());
}

bool usableProxySource(const QHostAddress& address) {
    return !address.isNull() && !address.isLoopback();
}

QByteArray LoginPromptFilter::take(const QByteArray& bytes) {
    switch (m_state) {
    case State::Done:
        return bytes;
    case State::PromptBlank:
        // "login:" came by itself: the blank that ends the prompt may begin the next bytes.
        m_state = State::Done;
        return bytes.startsWith(' ') ? bytes.mid(1) : bytes;
    case State::First:
        break;
    }
    const QByteArray data = m_held + bytes;
    m_held.clear();
    const qsizetype n = qMin(data.size(), kPrompt.size());
    if (!matchesPrompt(data, n)) {
        m_state = State::Done;
        return data;
    }
    if (n < kPrompt.size()) {
        m_held = data; // "log": a prompt, or a line that begins like one
        return QByteArray();
    }
    if (data.size() == kPrompt.size()) {
        m_state = State::PromptBlank;
        return QByteArray();
    }
    m_state = State::Done;
    return data.mid(data[kPrompt.size()] == ' ' ? kPrompt.size() + 1 : kPrompt.size());
}

QByteArray LoginPromptFilter::last(const QByteArray& bytes) {
    QByteArray out = take(bytes);
    if (!m_held.isEmpty()) out = std::exchange(m_held, QByteArray()) + out;
    m_state = State::Done;
    return out;
}
