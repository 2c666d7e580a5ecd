#pragma once

// The number plan: per called number or prefix, what the far end does. The built-in plan
// reserves 991..996 for trying each fault from a console's "Call:" box; a plan file adds to
// and overrides it.
//
// File format, one rule a line; blank lines are skipped, and '#' starts a comment at the
// beginning of a line or of a word after the number:
//   NUMBER  BEHAVIOUR [ARGUMENT]
// NUMBER is digits (and '+', '*' or '#' as dialled); a trailing '*' makes it a prefix rule
// ("49*" matches every number that starts with 49; "*" alone matches every number). The
// longest matching rule wins, an exact number before a prefix of the same length.
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
//   slow FACTOR             the data moves at FACTOR (0 < FACTOR <= 1) of the line's rate

#include <QString>
#include <QStringList>

#include <map>
#include <optional>

namespace exchange {

struct FarEnd
{
    enum class Kind { Answer, Busy, NoAnswer, Reject, NotFax, DropAfterBlocks, DropAfterPages, Slow };
    Kind kind = Kind::Answer;
    int seconds = 0;         // NoAnswer: 0 means the line's timeout
    quint16 reason = 0;      // Reject
    int count = 0;           // DropAfterBlocks, DropAfterPages
    double rateFactor = 1.0; // Slow
    bool operator==(const FarEnd &) const = default;

    // "busy", "reject 0x3495", ... as in a plan file.
    QString text() const;
};

class NumberPlan
{
public:
    // 991 busy, 992 no answer, 993 rejected, 994 not a fax, 995 drops in the second page,
    // 996 a quarter of the rate.
    static NumberPlan builtIn();

    void setRule(const QString &numberOrPrefix, const FarEnd &farEnd);
    // The rule for a called number: the longest match, else answer normally.
    FarEnd ruleFor(const QString &number) const;
    // Every rule as "NUMBER BEHAVIOUR", for logs.
    QStringList describe() const;

    // Reads rules from plan-file text on top of this plan. On a malformed line nothing is
    // changed and `error` says "line N: why".
    bool parse(const QString &text, QString *error);

private:
    std::map<QString, FarEnd> m_exact;
    std::map<QString, FarEnd> m_prefixes;
};

// The built-in plan with the rules of the file at `path` on top. A file that cannot be
// read or holds a malformed line gives std::nullopt and says why in `error`, naming the
// file and the line.
std::optional<NumberPlan> loadNumberPlan(const QString &path, QString *error);

} // namespace exchange
