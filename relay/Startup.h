#pragma once
// The start-up sequence: the run's start logged, the settings read, the AGW link addressed and
// opened, the cluster node's address taken. The refused callsigns of the file beside the settings
// are added to the gateway's before the settings are read. A step that fails ends the sequence
// with one "Form_Load" line; the gateway stays usable. What the window shows of it (its frame,
// the title, the bytes count) comes back for the window to apply.
#include "config/ConfigFile.h"
#include "config/Settings.h"

#include <QString>
#include <optional>

class ErrorLog;
class Gateway;

struct StartedUp {
    // The frame values the file gave, each already taken by the rule the start was given.
    FrameFromFile frame;
    // Once the settings are read: what the title gets after it, the version and the callsign.
    std::optional<QString> titleSuffix;
    // Once the AGW link is opened: the bytes count starts at "0".
    bool linkOpened = false;
};

// settings are the window's: the file is read into them, and the gateway takes them. takes is the
// rule by which the window takes a frame value (windowTakes; everyFrameValue without a window).
StartedUp startUp(Gateway& gateway, Settings& settings, const QString& settingsPath, ErrorLog& log,
                  FrameRule takes);
