#pragma once
// What the gateway can tell about itself at a moment: the AGW link, the radio users with their
// node connections, and counters since the start. Plain data, for a status page or metrics.
#include <QDateTime>
#include <QList>
#include <QString>
#include <QtGlobal>

struct LinkStatus {
    QString state;      // "connected", "connecting" or "down"
    QString callsign;   // registered at the last connect (empty before the first)
    QString engine;     // host:port
    int ports = 0;      // radio ports the callsign is registered on (0 while the link is down)
    QDateTime since;    // when the link last came up or went down
    bool paced = false; // the engine reports each user's frames, and the relay keeps to a limit
    int frameLimit = 0; // frames per user in the engine while paced
};

struct SessionStatus {
    int slot = 0;
    QString callsign;
    int port = 0;    // the radio port
    QDateTime since; // when the user connected
    qint64 toNodeBytes = 0, toNodeLines = 0;
    qint64 toRadioBytes = 0, toRadioLines = 0;
    QString nodeState;         // "connecting", "logged in" or "closing"
    qint64 heldBytes = 0;      // the node's text not yet handed to the engine
    int framesOutstanding = 0; // the user's frames in the engine (paced links)
    double airSeconds = 0;     // estimated air time of what waits for the user
};

struct GatewayCounters {
    quint64 usersServed = 0; // sessions started since the start
    quint64 framesFromEngine = 0, bytesFromEngine = 0;
    quint64 framesToEngine = 0, bytesToEngine = 0;
    quint64 linkConnects = 0;     // times the link came up
    quint64 outstandingAsked = 0; // questions for a user's frames outstanding ("Y")
    // Text to and from the cluster node, all sessions, ended ones included (the login and
    // keep-alive lines not counted).
    quint64 bytesToNodes = 0, bytesFromNodes = 0;
};

struct GatewayStatus {
    LinkStatus link;
    QList<SessionStatus> users; // by slot
    GatewayCounters counters;
    int refusedCalls = 0; // callsigns never logged in, besides the cluster callsign
};
