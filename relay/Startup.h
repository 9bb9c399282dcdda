#pragma once
// The start-up sequence: the run's start logged, the settings read, the title built, the AGW link
// addressed and opened, the cluster node's address taken. The refused callsigns of the file
// beside the settings are added to the gateway's before the settings are read. A step that fails
// ends the sequence with one "Form_Load" line; the gateway stays usable.
#include "config/WindowGeometry.h"

#include <QString>

class ErrorLog;
class Gateway;
struct Settings;

// What start-up needs of the main window besides its geometry. A headless run has no window:
// its host keeps nothing.
class WindowHost : public WindowGeometry {
public:
    virtual QString title() const = 0;
    virtual void setTitle(const QString& title) = 0;
    virtual void setBytesCount(const QString& text) = 0;
};

// A port setting as a port number: the number the text begins with (numericValue's rule), rounded
// as toInt32 rounds. Throws Failure when the text does not begin with a number or the value is
// outside 0..65535.
quint16 portNumber(const QString& text);

void startUp(Gateway& gateway, Settings& settings, const QString& settingsPath, ErrorLog& log,
             WindowHost& window);
