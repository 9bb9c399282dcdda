#pragma once
// pktgate.cfg: the settings and the main window's frame, one quoted key, a comma and a value
// per line, 8-bit text with CR LF line ends.
//
// The reading and writing rules are plain functions on bytes and texts (settingsFields,
// applySettingsText, formatSettings, numericValue, beginsWithNumber, toInt32, toSingle);
// readSettingsFile and saveSettingsFile only add the file and the log.
#include "config/Callsign.h"
#include "config/Settings.h"

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

// A port setting as a port number: the number the text begins with (numericValue's rule), rounded
// as toInt32 rounds. Throws Failure when the text does not begin with a number or the value is
// outside 0..65535.
quint16 portNumber(const QString& text);

// The whole pixels the main window takes for a frame value in twips (rounded half to even);
// unset for one it refuses: not finite, beyond 16777215 pixels either way, a negative height or
// width.
std::optional<int> framePixels(WindowFrame::Field field, double twips);

// Whether a frame value read from the file is taken; the reading stops at one that is not.
using FrameRule = bool (*)(WindowFrame::Field field, double twips);
bool windowTakes(WindowFrame::Field field, double twips);
// Where no window takes them (a headless run): every value.
bool everyFrameValue(WindowFrame::Field field, double twips);

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

// Applies the file's content pair by pair to the settings and the frame, in file order.
// lastKey is the last key read (unset while none was). A "Packet Length" from 1 to 29 is taken
// as 30 and one above 234 as 234; corrections receives one line for each value so replaced,
// beginning with its key ("Packet Length 5000 out of range, 234 used"; a later pair for the same
// key takes its line away). Throws Failure at the first pair that cannot be applied (a frame value
// that takes refuses among them), or when the content ends after a key; the pairs applied before
// stay applied, and their corrections reported.
void applySettingsText(QByteArrayView content, Settings& settings, FrameFromFile& frame,
                       std::optional<QString>& lastKey, QStringList& corrections,
                       FrameRule takes = windowTakes);

// A geometry value as the file holds it: single precision, decimal, "." before a fraction,
// no ".0" on whole numbers, no exponent.
QByteArray formatSettingsNumber(float value);

// The 13 lines that saveSettingsFile writes for these settings and this frame.
// A text value is written up to its first double quote, which the reader would cut there anyway;
// a port as the text it holds.
QByteArray formatSettings(const Settings& settings, const WindowFrame& frame);

// pktgate.cfg in a directory.
QString settingsFilePath(const QString& directory);

// Loads the file at path into settings and returns the "Top", "Left", "Height", "Width" it gave,
// for the window to take. A missing file changes nothing and logs nothing. Otherwise packetLength
// is set to 130 and keepAliveMinutes to 0 first; each value replaced by the reader is logged with
// "Readcfg" and its correction, and any failure ends the reading with one "Readcfg" line naming
// the last key read (or the file's name when no key was read yet).
FrameFromFile readSettingsFile(const QString& path, Settings& settings, ErrorLog& log,
                               FrameRule takes = windowTakes);

// Writes the 13 lines with the window's frame; nothing without one (the window is minimised).
// The new content goes to a new file that then replaces the old one, so a failed save ("SaveCfg"
// and the system's description in the log) leaves the previous file whole.
void saveSettingsFile(const QString& path, const Settings& settings,
                      const std::optional<WindowFrame>& frame, ErrorLog& log);
