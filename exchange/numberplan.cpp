#include "exchange/numberplan.h"

#include <QFile>
#include <QRegularExpression>

namespace exchange {

namespace {

constexpr int MaxSeconds = 24 * 3600;
constexpr int MaxCount = 1000000;
constexpr qint64 MaxFileSize = 1024 * 1024;

struct Behaviour
{
    const char *name;
    FarEnd::Kind kind;
    enum class Arg { None, OptionalSeconds, OptionalReason, Count, Factor } arg;
};

constexpr Behaviour Behaviours[] = {
    {"answer", FarEnd::Kind::Answer, Behaviour::Arg::None},
    {"busy", FarEnd::Kind::Busy, Behaviour::Arg::None},
    {"no-answer", FarEnd::Kind::NoAnswer, Behaviour::Arg::OptionalSeconds},
    {"reject", FarEnd::Kind::Reject, Behaviour::Arg::OptionalReason},
    {"not-fax", FarEnd::Kind::NotFax, Behaviour::Arg::None},
    {"drop-after-blocks", FarEnd::Kind::DropAfterBlocks, Behaviour::Arg::Count},
    {"drop-after-pages", FarEnd::Kind::DropAfterPages, Behaviour::Arg::Count},
    {"slow", FarEnd::Kind::Slow, Behaviour::Arg::Factor},
};

const Behaviour *behaviourOf(FarEnd::Kind kind)
{
    for (const Behaviour &b : Behaviours) {
        if (b.kind == kind)
            return &b;
    }
    return nullptr;
}

bool validNumber(const QString &n)
{
    static const QRegularExpression re(QStringLiteral("^[0-9+*#]{0,32}$"));
    return re.match(n).hasMatch();
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
    if (pattern->isEmpty() || !validNumber(digits)) {
        *why = QStringLiteral("\"%1\" is not a number or prefix").arg(words[0]);
        return false;
    }
    const Behaviour *b = nullptr;
    for (const Behaviour &candidate : Behaviours) {
        if (words[1] == QLatin1String(candidate.name))
            b = &candidate;
    }
    if (!b) {
        *why = QStringLiteral("unknown behaviour \"%1\"").arg(words[1]);
        return false;
    }
    FarEnd f;
    f.kind = b->kind;
    const bool hasArg = words.size() > 2;
    if (words.size() > 3 || (hasArg && b->arg == Behaviour::Arg::None)) {
        *why = QStringLiteral("too many arguments for %1").arg(words[1]);
        return false;
    }
    const QString arg = hasArg ? words[2] : QString();
    bool ok = true;
    switch (b->arg) {
    case Behaviour::Arg::None: break;
    case Behaviour::Arg::OptionalSeconds:
        if (hasArg) {
            f.seconds = arg.toInt(&ok);
            ok = ok && f.seconds >= 1 && f.seconds <= MaxSeconds;
            if (!ok)
                *why = QStringLiteral("seconds \"%1\" not a number from 1 to %2").arg(arg).arg(MaxSeconds);
        }
        break;
    case Behaviour::Arg::OptionalReason: {
        f.reason = 0x3495;
        if (hasArg) {
            const uint r = arg.toUInt(&ok, 0);
            ok = ok && (r & 0xFF00) == 0x3400 && r <= 0x34FF;
            f.reason = quint16(r);
            if (!ok)
                *why = QStringLiteral("reason \"%1\" is not a cause 0x3400 to 0x34FF").arg(arg);
        }
        break;
    }
    case Behaviour::Arg::Count:
        f.count = arg.toInt(&ok);
        ok = hasArg && ok && f.count >= 1 && f.count <= MaxCount;
        if (!ok)
            *why = QStringLiteral("%1 wants a count from 1 to %2").arg(words[1]).arg(MaxCount);
        break;
    case Behaviour::Arg::Factor:
        f.rateFactor = arg.toDouble(&ok);
        ok = hasArg && ok && f.rateFactor > 0 && f.rateFactor <= 1;
        if (!ok)
            *why = QStringLiteral("slow wants a factor above 0 and at most 1");
        break;
    }
    *farEnd = f;
    return ok;
}

} // namespace

QString FarEnd::text() const
{
    const Behaviour *b = behaviourOf(kind);
    QString t = QLatin1String(b ? b->name : "answer");
    switch (kind) {
    case Kind::NoAnswer:
        if (seconds)
            t += QStringLiteral(" %1").arg(seconds);
        break;
    case Kind::Reject: t += QStringLiteral(" 0x%1").arg(reason, 4, 16, QLatin1Char('0')); break;
    case Kind::DropAfterBlocks:
    case Kind::DropAfterPages: t += QStringLiteral(" %1").arg(count); break;
    case Kind::Slow: t += QStringLiteral(" %1").arg(rateFactor); break;
    default: break;
    }
    return t;
}

NumberPlan NumberPlan::builtIn()
{
    NumberPlan p;
    using K = FarEnd::Kind;
    p.setRule(QStringLiteral("991"), FarEnd{K::Busy});
    p.setRule(QStringLiteral("992"), FarEnd{K::NoAnswer});
    p.setRule(QStringLiteral("993"), FarEnd{K::Reject, 0, 0x3495});
    p.setRule(QStringLiteral("994"), FarEnd{K::NotFax});
    p.setRule(QStringLiteral("995"), FarEnd{K::DropAfterPages, 0, 0, 1});
    p.setRule(QStringLiteral("996"), FarEnd{K::Slow, 0, 0, 0, 0.25});
    return p;
}

void NumberPlan::setRule(const QString &numberOrPrefix, const FarEnd &farEnd)
{
    if (numberOrPrefix.endsWith(QLatin1Char('*')))
        m_prefixes[numberOrPrefix.chopped(1)] = farEnd;
    else
        m_exact[numberOrPrefix] = farEnd;
}

FarEnd NumberPlan::ruleFor(const QString &number) const
{
    if (auto it = m_exact.find(number); it != m_exact.end())
        return it->second;
    for (qsizetype length = number.size(); length >= 0; --length) {
        if (auto it = m_prefixes.find(number.left(length)); it != m_prefixes.end())
            return it->second;
    }
    return {};
}

QStringList NumberPlan::describe() const
{
    QStringList lines;
    for (const auto &[number, farEnd] : m_exact)
        lines << QStringLiteral("%1 %2").arg(number, farEnd.text());
    for (const auto &[prefix, farEnd] : m_prefixes)
        lines << QStringLiteral("%1* %2").arg(prefix, farEnd.text());
    return lines;
}

bool NumberPlan::parse(const QString &text, QString *error)
{
    NumberPlan result = *this;
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
            return false;
        }
        result.setRule(pattern, farEnd);
    }
    *this = std::move(result);
    return true;
}

std::optional<NumberPlan> loadNumberPlan(const QString &path, QString *error)
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
    NumberPlan plan = NumberPlan::builtIn();
    QString why;
    if (!plan.parse(QString::fromUtf8(bytes), &why)) {
        *error = QStringLiteral("%1: %2").arg(path, why);
        return std::nullopt;
    }
    return plan;
}

} // namespace exchange
