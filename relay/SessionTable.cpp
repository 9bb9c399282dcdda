#include "relay/SessionTable.h"

#include "config/ErrorLog.h"
#include "config/Settings.h"
#include "net/DescriptorBudget.h"
#include "net/Failure.h"
#include "relay/Monitor.h"
#include "relay/RadioSender.h"

SessionTable::SessionTable(SessionContext context, Monitor& monitor, QObject* parent)
    : QObject(parent), m_context(std::move(context)), m_monitor(monitor), m_slots(1, nullptr) {
    m_reaper.setSingleShot(true);
    m_reaper.setInterval(0);
    connect(&m_reaper, &QTimer::timeout, this, &SessionTable::reap);
    m_askTimer.setInterval(kAskIntervalMs);
    connect(&m_askTimer, &QTimer::timeout, this, &SessionTable::askEngine);
    m_monitor.slotChanged(0, SlotState::Unused, QByteArray());
}

SessionTable::~SessionTable() {
    // The sessions' sockets go before anything their notifications could reach.
    for (Session*& s : m_slots) {
        delete s;
        s = nullptr;
    }
    m_ended.clear();
}

Session* SessionTable::find(const QByteArray& callsign) const {
    return m_index.value(callsign, nullptr);
}

Session* SessionTable::at(int slot) const {
    if (slot < 1 || slot > highestSlot()) return nullptr;
    return m_slots[static_cast<size_t>(slot)];
}

Session* SessionTable::open(const QByteArray& callsign, quint8 port) {
    if (Session* s = find(callsign)) {
        if (s->port() != port) {
            // The same user on another radio port: the newest link wins, as at the node.
            m_context.log.write(QStringLiteral("DataArrival"),
                                QStringLiteral(" where = 14 ") + outsideText(callsign) +
                                    QStringLiteral(" moved from radio port ") +
                                    QString::number(s->port()) + QStringLiteral(" to ") +
                                    QString::number(port));
            // (A session whose node has gone has asked for that disconnect already.)
            if (s->state() != Session::State::Closing)
                m_context.radio.sendDisconnectTo(s->port(), callsign, RadioSender::Note::None);
        }
        s->userConnectedAgain(port);
        return s;
    }
    if (!m_address) throw Failure(QStringLiteral("no cluster address was taken at start-up"));
    int slot = 0;
    if (!m_free.empty()) {
        slot = *m_free.begin();
        m_free.erase(m_free.begin());
    } else {
        slot = highestSlot() + 1;
        if (slot > kMaxSlots)
            throw Failure(QStringLiteral("Stream table full: no more than ") +
                          QString::number(kMaxSlots) + QStringLiteral(" streams"));
        m_slots.push_back(nullptr);
    }
    auto* s = new Session(slot, callsign, port, m_context);
    ++m_started;
    if (m_context.descriptors) m_context.descriptors->opened();
    m_slots[static_cast<size_t>(slot)] = s;
    m_index.insert(callsign, s);
    connect(s, &Session::ended, this, &SessionTable::onEnded);
    connect(s, &Session::pacingBusyChanged, this, &SessionTable::onPacingBusy);
    s->setReading(m_reading);
    m_monitor.slotChanged(slot, SlotState::InUse, callsign);
    s->start(*m_address);
    return s;
}

RefusedCalls::Refusal SessionTable::refuses(const QByteArray& callsign) const {
    static const RefusedCalls kNone;
    return (m_context.policy ? m_context.policy->refused : kNone)
        .refuses(callsign, m_context.settings.clusterCall.bytes());
}

bool SessionTable::descriptorsLow() const {
    return m_context.descriptors && m_context.descriptors->low();
}

void SessionTable::onEnded(Session* s) {
    const int slot = s->slot();
    m_slots[static_cast<size_t>(slot)] = nullptr;
    m_index.remove(s->callsign());
    m_free.insert(slot);
    onPacingBusy(s, false);
    m_endedToNode += quint64(s->toNodeBytes());
    m_endedFromNode += quint64(s->toRadioBytes());
    m_monitor.slotChanged(slot, SlotState::Freed, QByteArray());
    s->disconnect(this);
    // The session may be inside one of its own events: it is deleted once that is over.
    m_ended.emplace_back(s);
    if (!m_reaper.isActive()) m_reaper.start();
}

void SessionTable::onPacingBusy(Session* s, bool busy) {
    if (busy)
        m_pacingBusy.insert(s);
    else
        m_pacingBusy.erase(s);
    // Idle users cost no question at all.
    if (m_pacingBusy.empty())
        m_askTimer.stop();
    else if (!m_askTimer.isActive())
        m_askTimer.start();
}

void SessionTable::askEngine() {
    // A copy: an answer cannot come back inside the loop, but a failed send may end a session.
    const std::vector<Session*> busy(m_pacingBusy.begin(), m_pacingBusy.end());
    for (Session* s : busy)
        if (m_pacingBusy.count(s)) s->askEngine();
}

void SessionTable::reap() {
    m_ended.clear();
}

int SessionTable::endAll(Session::End reason) {
    int n = 0;
    for (Session* s : m_slots) {
        if (!s) continue;
        s->end(reason);
        ++n;
    }
    return n;
}

void SessionTable::linkPaced() {
    for (Session* s : m_slots)
        if (s) s->linkPaced();
}

void SessionTable::setReading(bool on) {
    if (m_reading == on) return;
    m_reading = on;
    for (Session* s : m_slots)
        if (s) s->setReading(on);
}
