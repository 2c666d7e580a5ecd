#pragma once

// The number plan: per called number or prefix, what the far end does, as a FaultPlan for a
// line. The built-in plan reserves 991..998 for trying each fault from a console's "Call:"
// box; a plan file adds to and overrides it.
//
// File format, one rule a line; blank lines are skipped, and '#' starts a comment at the
// beginning of a line or of a word after the number:
//   NUMBER  [BEHAVIOUR [ARGUMENT]] [LINE PROPERTY ...]
// NUMBER is digits (and '+', '*' or '#' as dialled); a trailing '*' makes it a prefix rule
// ("49*" matches every number that starts with 49; "*" alone matches every number). An exact
// number wins over every prefix, a longer prefix over a shorter one.
// BEHAVIOUR and its argument:
//   answer                  the far end answers normally (the default for every number)
//   busy                    cleared at once, user busy (0x3491)
//   no-answer [SECONDS]     it rings and nobody answers: no answer (0x3493) after SECONDS,
//                           by default the line's no-answer timeout
//   reject [REASON]         the far end refuses: REASON as 0x34xx, default call rejected (0x3495)
//   not-fax                 a telephone answers; a T.30 connection fails, reason B3 0x3311
//   drop-after-blocks N     the line drops (0x3301 on both sides) after N data blocks
//   drop-after-pages N      the line drops (0x3301 on both sides) once N whole pages have
//                           come through and the next has begun
//   slow FACTOR             the far end answers, the data moves at FACTOR (0 < FACTOR <= 1)
//                           of the line's rate
// The behaviour may be left out before line properties (then: answer). Line properties act on
// a G3 fax call's audio and far fax (FarEnd::line, ecm, modems); busy, no-answer and reject
// take none:
//   noise SNR               gated noise SNR dB below the signal (0 < SNR <= 60)
//   attenuation DB          loss, 0 to 80 dB
//   dropout MS POINT        the sender's audio lost for MS ms (1..10000) at POINT: start,
//                           pageN or trainingN, optionally followed by +MS
//   no-ecm                  the far fax offers no error correction
//   modems LIST             the far fax's modems: v27ter, v29, v17, comma-separated
//   seed N                  the noise's seed (default 1)

#include "simline/faultplan.h"

#include <QString>
#include <QStringList>

#include <optional>

namespace simline {

// 991 busy, 992 no answer, 993 rejected, 994 not a fax, 995 drops in the second page,
// 996 a quarter of the rate, 997 a noisy line (16 dB SNR, a far fax without ECM) on which
// training falls back and the fax completes,
// 998 a 30 ms drop-out as the first page begins, to a fax without ECM: the call fails.
FaultPlan builtInNumberPlan();

// A rule as a plan file writes it: "busy", "reject 0x3495", "slow 0.25".
QString planText(const FarEnd &farEnd);
// Every rule of a plan as "NUMBER BEHAVIOUR", for logs.
QStringList describePlan(const FaultPlan &plan);

// Reads the rules of plan-file text on top of `base`. On a malformed line: std::nullopt, and
// `error` says "line N: why".
std::optional<FaultPlan> parseNumberPlan(const QString &text, const FaultPlan &base, QString *error);

// The built-in plan with the rules of the file at `path` on top. A file that cannot be read
// or holds a malformed line gives std::nullopt, and `error` names the file and the line.
std::optional<FaultPlan> loadNumberPlan(const QString &path, QString *error);

} // namespace simline
