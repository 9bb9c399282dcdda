#pragma once
// What the gateway says to the node before a user's callsign, and what it keeps from the user of
// the node's first words: a node that trusts local connections (DXSpider gives every connection
// from 127.0.0.1 the sysop's rights) can be told with a PROXY protocol line that the user is
// not local, and the login prompt the node sends first ("login: ") is not for the radio user,
// whom the gateway has logged in already.
#include "net/Socket.h"
#include "relay/CallPolicy.h"

#include <QByteArray>
#include <QHostAddress>
#include <optional>

// How the gateway meets the node: whom it never logs in, and what goes before the callsign line.
struct NodePolicy {
    RefusedCalls refused;
    // The source address the PROXY line gives for a radio user; none: no PROXY line is sent.
    std::optional<QHostAddress> proxySource;
};

// A PROXY protocol v1 line with its CR LF: "PROXY TCP4 0.0.0.0 127.0.0.1 40000 7300\r\n". An
// IPv6 node gets "TCP6", with an IPv4 source written as an IPv4-mapped address. Empty when the
// node's address is not an IP address.
QByteArray proxyHeaderLine(const QHostAddress& source, quint16 sourcePort, const QHostAddress& node,
                           quint16 nodePort);
// The line for a node connection that has just been made: the node's address and the
// connection's own port as the socket knows them, else as it was asked to connect.
QByteArray proxyHeaderFor(const QHostAddress& source, const Socket& node);

// Whether an address may stand for radio users in the PROXY line: any but a loopback one, which
// the node would take for a local user.
bool usableProxySource(const QHostAddress& address);

// Keeps a login prompt ("login: " or "login:", any case, before any line end) off the air when
// it is the first thing a node connection brings; anything else passes as it comes. Once the
// first bytes have decided it, done() is true and the filter is no longer asked.
class LoginPromptFilter {
public:
    bool done() const { return m_state == State::Done; }
    // The node's bytes as they go to the radio user. The start of what may yet be a prompt is
    // held until the bytes after it decide.
    QByteArray take(const QByteArray& bytes);
    // The last bytes of the connection: what was held goes with them.
    QByteArray last(const QByteArray& bytes);

private:
    enum class State { First, PromptBlank, Done };
    State m_state = State::First;
    QByteArray m_held;
};
