#pragma once

// What the owner of a line sets, and how the parts of the line ask for a later turn.

#include "simline/faultplan.h"

#include <QDateTime>
#include <QString>

#include <algorithm>
#include <chrono>
#include <functional>

namespace simline {

struct LineSettings
{
    static constexpr int DefaultNoAnswerTimeoutMs = 30000;

    FaultPlan plan;
    quint32 rate = 0;   // bit/s; 0: unpaced
    // 1: real time; 0: as fast as possible; 2: twice as fast. Scales the relay's rate and the
    // line clock of a fax call (a T.30 call at speed 1 takes as long as on a real line).
    double speed = 1.0;
    std::chrono::milliseconds noAnswerTimeout{DefaultNoAnswerTimeoutMs};
    // B channels; a loopback call takes two (one per side). 2 is a basic rate line.
    int channels = 2;
    // Where each fax call's audio is written as a WAV file; empty: not recorded.
    QString recordFolder;
    // The date and time that the sending controller writes into each page's head line;
    // invalid: the current time. A fixed time gives the same pages, so the same line, on
    // every run, which a call on a noisy line needs to be repeatable.
    QDateTime headLineTime;
    // The most of a fax document the line collects from a sender: about 1,000 pages of dense
    // fine text, as many as a TIFF of the call may hold.
    static constexpr qsizetype DefaultFaxDocumentLimit = qsizetype(128) << 20;
    qsizetype faxDocumentLimit = DefaultFaxDocumentLimit;

    // A controller numbers 255 PLCIs, enough for the two legs of 127 calls, so a line with
    // more channels than 254 is offered as several controllers (at most CAPI's 127).
    static constexpr int ChannelsPerController = 254;
    static constexpr int MaxControllers = 127;
    int controllers() const
    {
        return std::clamp((channels + ChannelsPerController - 1) / ChannelsPerController, 1, MaxControllers);
    }
    // The B channels a controller reports: the line's, ChannelsPerController to each in turn.
    int channelsOf(int controller) const
    {
        if (controller < 1 || controller > controllers())
            return 0;
        if (controllers() == 1)
            return channels;
        return std::clamp(channels - (controller - 1) * ChannelsPerController, 0, ChannelsPerController);
    }
};

// Runs `task` after `delay` as a turn of its own: in the line's thread, under its lock,
// followed by the sweep of the calls that ended.
using Schedule = std::function<void(std::chrono::nanoseconds delay, std::function<void()> task)>;

} // namespace simline
