#include "simline/numberplan.h"

#include <QFile>
#include <QRegularExpression>

namespace simline {

namespace {

using B = FarEnd::Behaviour;

constexpr int MaxSeconds = 24 * 3600;
constexpr int MaxCount = 1000000;
constexpr qint64 MaxFileSize = 1024 * 1024;

enum class Word { Answer, Busy, NoAnswer, Reject, NotFax, DropAfterBlocks, DropAfterPages, Slow };
enum class Arg { None, OptionalSeconds, OptionalReason, Count, Factor };

struct Keyword
{
    const char *name;
    Word word;
    Arg arg;
};

constexpr Keyword Keywords[] = {
    {"answer", Word::Answer, Arg::None},
    {"busy", Word::Busy, Arg::None},
    {"no-answer", Word::NoAnswer, Arg::OptionalSeconds},
    {"reject", Word::Reject, Arg::OptionalReason},
    {"not-fax", Word::NotFax, Arg::None},
    {"drop-after-blocks", Word::DropAfterBlocks, Arg::Count},
    {"drop-after-pages", Word::DropAfterPages, Arg::Count},
    {"slow", Word::Slow, Arg::Factor},
};

bool validNumber(const QString &n)
{
    static const QRegularExpression re(QStringLiteral("^[0-9+*#]{0,32}$"));
    return re.match(n).hasMatch();
}

// The far end of a keyword and its argument; std::nullopt with the reason in `why`.
std::optional<FarEnd> farEndOf(const Keyword &k, const QString &name, const QString &arg, bool hasArg,
                               QString *why)
{
    bool ok = true;
    switch (k.word) {
    case Word::Answer: return FarEnd::answer();
    case Word::Busy: return FarEnd::busy();
    case Word::NotFax: return FarEnd::notFax();
    case Word::NoAnswer: {
        if (!hasArg)
            return FarEnd::noAnswer();
        const int seconds = arg.toInt(&ok);
        if (ok && seconds >= 1 && seconds <= MaxSeconds)
            return FarEnd::noAnswer(std::chrono::seconds(seconds));
        *why = QStringLiteral("seconds \"%1\" not a number from 1 to %2").arg(arg).arg(MaxSeconds);
        return std::nullopt;
    }
    case Word::Reject: {
        if (!hasArg)
            return FarEnd::reject(0x3495);
        const uint r = arg.toUInt(&ok, 0);
        if (ok && (r & 0xFF00) == 0x3400 && r <= 0x34FF)
            return FarEnd::reject(quint16(r));
        *why = QStringLiteral("reason \"%1\" is not a cause 0x3400 to 0x34FF").arg(arg);
        return std::nullopt;
    }
    case Word::DropAfterBlocks:
    case Word::DropAfterPages: {
        const int count = arg.toInt(&ok);
        if (hasArg && ok && count >= 1 && count <= MaxCount)
            return k.word == Word::DropAfterBlocks ? FarEnd::dropAfterBlocks(count) : FarEnd::dropAfterPages(count);
        *why = QStringLiteral("%1 wants a count from 1 to %2").arg(name).arg(MaxCount);
        return std::nullopt;
    }
    case Word::Slow: {
        const double factor = arg.toDouble(&ok);
        if (hasArg && ok && factor > 0 && factor <= 1)
            return FarEnd::slower(factor);
        *why = QStringLiteral("slow wants a factor above 0 and at most 1");
        return std::nullopt;
    }
    }
    return std::nullopt;
}

// One rule line; false with the reason in `why`.
bool parseRule(const QStringList &words, QString *pattern, FarEnd *farEnd, QString *why)
{
    if (words.size() < 2) {
        *why = QStringLiteral("a number and a behaviour expected");
        return false;
    }
    *pattern = words[0];
    const QString digits = pattern->endsWith(QLatin1Char('*')) ? pattern->chopped(1) : *pattern;
    if (!validNumber(digits)) {
        *why = QStringLiteral("\"%1\" is not a number or prefix").arg(words[0]);
        return false;
    }
    const Keyword *k = nullptr;
    for (const Keyword &candidate : Keywords) {
        if (words[1] == QLatin1String(candidate.name))
            k = &candidate;
    }
    if (!k) {
        *why = QStringLiteral("unknown behaviour \"%1\"").arg(words[1]);
        return false;
    }
    const bool hasArg = words.size() > 2;
    if (words.size() > 3 || (hasArg && k->arg == Arg::None)) {
        *why = QStringLiteral("too many arguments for %1").arg(words[1]);
        return false;
    }
    const auto f = farEndOf(*k, words[1], hasArg ? words[2] : QString(), hasArg, why);
    if (!f)
        return false;
    *farEnd = *f;
    return true;
}

} // namespace

FaultPlan builtInNumberPlan()
{
    FaultPlan p;
    p.setRule(QStringLiteral("991"), FarEnd::busy());
    p.setRule(QStringLiteral("992"), FarEnd::noAnswer());
    p.setRule(QStringLiteral("993"), FarEnd::reject(0x3495));
    p.setRule(QStringLiteral("994"), FarEnd::notFax());
    p.setRule(QStringLiteral("995"), FarEnd::dropAfterPages(1));
    p.setRule(QStringLiteral("996"), FarEnd::slower(0.25));
    return p;
}

QString planText(const FarEnd &f)
{
    switch (f.behaviour) {
    case B::Answer:
        return f.rateFactor < 1.0 ? QStringLiteral("slow %1").arg(f.rateFactor) : QStringLiteral("answer");
    case B::Busy: return QStringLiteral("busy");
    case B::NoAnswer:
        return f.delay.count() > 0 ? QStringLiteral("no-answer %1").arg(f.delay.count() / 1000)
                                   : QStringLiteral("no-answer");
    case B::Reject: return QStringLiteral("reject 0x%1").arg(f.cause, 4, 16, QLatin1Char('0'));
    case B::NotFax: return QStringLiteral("not-fax");
    case B::DropAfterBlocks: return QStringLiteral("drop-after-blocks %1").arg(f.count);
    case B::DropAfterPages: return QStringLiteral("drop-after-pages %1").arg(f.count);
    }
    return QString();
}

QStringList describePlan(const FaultPlan &plan)
{
    QStringList lines;
    for (const auto &[number, farEnd] : plan.rules())
        lines << QStringLiteral("%1 %2").arg(number, planText(farEnd));
    return lines;
}

std::optional<FaultPlan> parseNumberPlan(const QString &text, const FaultPlan &base, QString *error)
{
    FaultPlan result = base;
    const QStringList lines = text.split(QLatin1Char('\n'));
    static const QRegularExpression space(QStringLiteral("\\s+"));
    for (qsizetype i = 0; i < lines.size(); ++i) {
        // A comment fills the line or starts at a word after the number ('#' may be dialled).
        if (lines[i].trimmed().startsWith(QLatin1Char('#')))
            continue;
        QStringList words = lines[i].split(space, Qt::SkipEmptyParts);
        for (qsizetype w = 1; w < words.size(); ++w) {
            if (words[w].startsWith(QLatin1Char('#'))) {
                words = words.mid(0, w);
                break;
            }
        }
        if (words.isEmpty())
            continue;
        QString pattern, why;
        FarEnd farEnd;
        if (!parseRule(words, &pattern, &farEnd, &why)) {
            *error = QStringLiteral("line %1: %2").arg(i + 1).arg(why);
            return std::nullopt;
        }
        result.setRule(pattern, farEnd);
    }
    return result;
}

std::optional<FaultPlan> loadNumberPlan(const QString &path, QString *error)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        *error = QStringLiteral("%1: %2").arg(path, file.errorString());
        return std::nullopt;
    }
    if (file.size() > MaxFileSize) {
        *error = QStringLiteral("%1: larger than %2 bytes").arg(path).arg(MaxFileSize);
        return std::nullopt;
    }
    const QByteArray bytes = file.readAll();
    QString why;
    auto plan = parseNumberPlan(QString::fromUtf8(bytes), builtInNumberPlan(), &why);
    if (!plan)
        *error = QStringLiteral("%1: %2").arg(path, why);
    return plan;
}

} // namespace simline
