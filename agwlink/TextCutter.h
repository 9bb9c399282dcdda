#pragma once
// Cutting text for a radio user into frame-sized pieces.
#include <QByteArray>
#include <QList>

// The packet length used when the setting is below 1 (no settings file read, or a bad value):
// cutting needs at least one byte per piece to make progress.
inline constexpr int kDefaultPacketLength = 130;

// Cuts text into the data of successive "D" frames. A line ends at CR LF, at a CR alone or at an
// LF alone; each line but the last gets a CR (and no other line end). Lines are gathered into one
// piece while the next line and what is gathered stay under packetLength - 2 characters; the last
// line always goes out on its own and gets no CR. A gathered piece longer than packetLength is cut
// into pieces of packetLength characters and a last piece with what is left. An empty text gives no
// pieces.
QList<QByteArray> cutForAx25(const QByteArray& text, int packetLength);

// The node's text in radio form: every line end (CR LF, a CR alone, an LF alone) turned into the
// one CR that ends a line for the radio. Cutting it with cutRadioText() gives the pieces
// cutForAx25() gives. `afterCr`, where given, says whether the text before this one ended in a CR
// (an LF that starts this one ends no line of its own) and is set to whether this one does.
QByteArray toRadioText(QByteArrayView nodeText, bool* afterCr = nullptr);

// Cuts text in radio form (lines ended by CR) by cutForAx25()'s rules, into at most maxPieces
// pieces (all of them when maxPieces is negative). The pieces, one after the other, are the
// front of the text: what they take is the sum of their sizes.
QList<QByteArray> cutRadioText(QByteArrayView text, int packetLength, qsizetype maxPieces = -1);

// A radio user's data as it goes to the cluster node: zero bytes dropped, every line end CR LF
// (a CR alone gets its LF; CR LF and an LF alone stay as they are).
QByteArray toNodeText(QByteArrayView data);
