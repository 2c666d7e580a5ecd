#pragma once

// What the owner of a line sets, and how the parts of the line ask for a later turn.

#include "simline/faultplan.h"

#include <QString>

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
};

// Runs `task` after `delay` as a turn of its own: in the line's thread, under its lock,
// followed by the sweep of the calls that ended.
using Schedule = std::function<void(std::chrono::nanoseconds delay, std::function<void()> task)>;

} // namespace simline
