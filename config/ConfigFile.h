#pragma once
// pktgate.cfg: the settings and the main window's geometry, one quoted key, a comma and a value
// per line, 8-bit text with CR LF line ends.
//
// The reading and writing rules are plain functions on bytes and texts (settingsFields,
// applySettingsText, formatSettings, numericValue, beginsWithNumber, toInt32, toSingle);
// readSettingsFile and saveSettingsFile only add the file and the log.
#include "config/Callsign.h"
#include "config/Settings.h"
#include "config/WindowGeometry.h"

#include <QByteArray>
#include <QByteArrayView>
#include <QString>
#include <QStringList>
#include <optional>

class ErrorLog;

// The file's name, as the log shows it when reading fails before the first key.
inline constexpr const char* kSettingsFileName = "pktgate.cfg";

// The numeric value of a text: the number it begins with (leading blanks skipped, optional minus
// sign, digits, optional fractional part after a full stop); 0 when it does not begin with a
// number. Digits too many for a double give an infinite value.
double numericValue(const QString& text);

// Whether the text begins with a number by that rule ("8000x" does, "x8000", "-" and "" do not).
bool beginsWithNumber(const QString& text);

// That value converted to a 32-bit signed integer, rounding half to even (2.5 -> 2, 3.5 -> 4).
// Throws Failure ("Overflow ...") when the rounded value is outside the 32-bit range.
qint32 toInt32(const QString& text);

// That value as a single-precision number. Throws Failure ("Overflow ...") outside its range.
float toSingle(const QString& text);

// A "Cluster Call" as the gateway keeps it: without surrounding blanks, in capitals.
QString callsignText(const QString& text);

// Whether a callsign (as callsignText gives it) is fit to be registered with the engine: at most
// kMaxCallsignLength characters, each from '!' to '~' (isUsableCall()). An empty one passes too.
bool isUsableCallsign(const QString& call);

// The fields of the file in order. Fields are separated by commas or line ends (CR LF, CR or LF)
// wherever the lines break. A field that begins (after blanks) with a double quote is the text up
// to the next double quote (or the end of the data), and whatever follows the closing quote up to
// the next comma or line end is dropped. Any other field is the text up to the next comma or line
// end without surrounding blanks. Blank lines hold no field; a comma directly before a line end or
// the end of the data leaves one empty field.
QStringList settingsFields(QByteArrayView content);

// Applies the file's content pair by pair to the settings and the window, in file order.
// lastKey is the last key read (unset while none was). A "Packet Length" from 1 to 29 is taken
// as 30 and one above 234 as 234; corrections receives one line for each value so replaced,
// beginning with its key ("Packet Length 5000 out of range, 234 used"; a later pair for the same
// key takes its line away). Throws Failure (or whatever the window throws) at the first pair that
// cannot be applied, or when the content ends after a key; the pairs applied before stay applied,
// and their corrections reported.
void applySettingsText(QByteArrayView content, Settings& settings, WindowGeometry& window,
                       std::optional<QString>& lastKey, QStringList& corrections);

// A geometry value as the file holds it: single precision, decimal, "." before a fraction,
// no ".0" on whole numbers, no exponent.
QByteArray formatSettingsNumber(float value);

// The 13 lines that saveSettingsFile writes for these settings and this window.
// A text value is written up to its first double quote, which the reader would cut there anyway.
QByteArray formatSettings(const Settings& settings, const WindowGeometry& window);

// pktgate.cfg in a directory.
QString settingsFilePath(const QString& directory);

// Loads the file at path into settings and applies "Top", "Left", "Height", "Width" to the window
// at once. A missing file changes nothing and logs nothing. Otherwise packetLength is set to 130
// and keepAliveMinutes to 0 first; each value replaced by the reader is logged with "Readcfg" and
// its correction, and any failure ends the reading with one "Readcfg" line naming the last key
// read (or the file's name when no key was read yet).
void readSettingsFile(const QString& path, Settings& settings, WindowGeometry& window,
                      ErrorLog& log);

// Writes the 13 lines. Does nothing while the window is minimised. The new content goes to a new
// file that then replaces the old one, so a failed save ("SaveCfg" and the system's description
// in the log) leaves the previous file whole.
void saveSettingsFile(const QString& path, const Settings& settings, const WindowGeometry& window,
                      ErrorLog& log);
