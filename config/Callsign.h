#pragma once
// The one rule for the callsigns the gateway handles (a radio user's, the gateway's own, the
// refused ones): printable ASCII without blanks, '!' to '~'. A blank, CR or LF would end up inside
// the engine's registration or the node's login line. Calls are compared in capitals, as nodes
// take either case.
#include <QByteArray>
#include <QByteArrayView>
#include <QStringView>

// The longest callsign the gateway registers as its own with the engine.
inline constexpr qsizetype kMaxCallsignLength = 9;

// Whether every byte (character) of call keeps the rule. An empty call does: the callers that need
// one say so.
bool isUsableCall(QByteArrayView call);
bool isUsableCall(QStringView call);

// A callsign as calls are compared: its ASCII letters in capitals.
QByteArray normalCall(QByteArrayView call);
// A callsign without its SSID: "G4ABC-7" -> "G4ABC"; one without an SSID as it is.
QByteArrayView callBase(QByteArrayView call);
