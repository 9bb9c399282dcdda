#pragma once
// The steps that the receive side and the sending to radio users mark as they go. A failure's
// log line names the step it happened in after " where = ", so the values are the numbers the
// log shows and never change.
enum class Step : int {
    // Receiving from the engine.
    ReadSocket = 0,
    ShowArrivalCount = 1,
    MergeArrival = 101,
    NextFrame = 103,
    FrameTooLarge = 104,
    ReadHeader = 105,
    CutFrame = 106,
    ShowRawText = 108,
    ShowHeader = 2,
    RouteLine = 7,
    FindRoute = 8,
    AddRoute = 9,
    ShowTraffic = 11,
    Dispatch = 14,

    // Sending to a radio user.
    SendDestination = 0,
    SendMonitor = 1,
    SendCut = 3,
    SendBuildFrame = 7,
    SendHandOver = 15,
    SendSent = 16,
    SendDone = 185,
};

inline int stepNumber(Step s) {
    return static_cast<int>(s);
}
