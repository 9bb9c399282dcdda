#pragma once
// Radio and cluster text is single-byte: one character per byte, in both directions.
#include <QByteArray>
#include <QString>

// Single-byte form of a text (one byte per character; characters outside Latin-1 become '?').
inline QByteArray toSingleByte(const QString& text) {
    return text.toLatin1();
}

// The text of single-byte data, one character per byte.
inline QString fromSingleByte(QByteArrayView bytes) {
    return QString::fromLatin1(bytes.data(), bytes.size());
}
