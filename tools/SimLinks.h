#pragma once
// The radio users' links as a packet engine keeps them, and its answer to the gateway's "Y"
// question (frames outstanding on a link), as Direwolf 1.6 was measured to give it:
// - a true count only for a link of the client that asks, named from the callsign the user
//   connected to, to the user, on the user's radio port;
// - the reverse call order, another port, another client, a station without a link: 0;
// - a link made again on the same port to the same callsign shows a window too many until frames
//   of the new link have aired;
// - a "d", from either side, ends the link and drops what is queued for it.
// Plain code: the engine says what happened, and airs the frames on its own clock.
#include "agwlink/AgwFrame.h"
#include "tools/SimRadio.h"

#include <QByteArray>
#include <QHash>
#include <QSet>

namespace sim {

struct EngineLink {
    quint8 port = 0;
    QByteArray to; // the callsign the user connected to
    RadioLink radio;
    int staleExtra = 0; // what the count shows too many after a link made again
};

// The links by the user's callsign; Link is EngineLink or an engine's own record built on it.
template <class Link = EngineLink> class LinkBook {
public:
    explicit LinkBook(const RadioTiming& timing = {}) : m_timing(timing) {}
    void setTiming(const RadioTiming& timing) { m_timing = timing; }

    // A link comes up (or comes up again: the old one and what it held go).
    Link& open(quint8 port, const QByteArray& call, const QByteArray& to) {
        Link link;
        link.port = port;
        link.to = to;
        link.radio = RadioLink(m_timing);
        const QByteArray key = QByteArray::number(port) + ':' + call;
        if (m_before.contains(key)) link.staleExtra = m_timing.window;
        m_before.insert(key);
        return m_links.insert(call, link).value();
    }
    // The link ends: what it holds is dropped.
    void close(const QByteArray& call) { m_links.remove(call); }
    Link* find(const QByteArray& call) {
        const auto it = m_links.find(call);
        return it == m_links.end() ? nullptr : &it.value();
    }
    const QHash<QByteArray, Link>& links() const { return m_links; }
    // Frames of the link have aired: its count is true again.
    static void aired(Link& link) { link.staleExtra = 0; }
    // For an engine that airs when it is told: everything the link holds has aired.
    void airAll(const QByteArray& call) {
        if (Link* l = find(call)) {
            l->radio.clear();
            aired(*l);
        }
    }
    // The same engine's frames: one it reports to its client ("C" makes a link, "d" ends it), and
    // one from the client that owns the links ("D" for a link is held, "d" ends the link).
    void reported(const AgwHeader& h) {
        if (h.DataKind == 'C') open(h.Port, h.CallFrom, h.CallTo);
        if (h.DataKind == 'd') close(h.CallFrom);
    }
    void received(const AgwHeader& h, const QByteArray& data) {
        Link* l = find(h.CallTo);
        if (l && h.DataKind == 'D') l->radio.enqueue(data);
        if (h.DataKind == 'd') close(h.CallTo);
    }
    // The frames held for a user (queued and on air); 0 without a link.
    int outstanding(const QByteArray& call) const {
        const auto it = m_links.constFind(call);
        return it == m_links.constEnd() ? 0 : int(it->radio.outstanding());
    }
    int outstandingTotal() const {
        int n = 0;
        for (const Link& l : m_links)
            n += int(l.radio.outstanding());
        return n;
    }
    // The count the engine answers to a "Y" question; owner: the asking client holds the
    // registration the users connected to.
    quint32 answer(bool owner, const AgwHeader& q) const {
        const auto it = m_links.constFind(q.CallTo);
        if (!owner || it == m_links.constEnd() || it->port != q.Port || q.CallFrom != it->to)
            return 0;
        return quint32(it->radio.outstanding()) + quint32(it->staleExtra);
    }

private:
    RadioTiming m_timing;
    QHash<QByteArray, Link> m_links;
    QSet<QByteArray> m_before; // port and call of every link there has been
};

} // namespace sim
