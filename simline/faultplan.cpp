#include "simline/faultplan.h"

#include <QStringList>

#include <algorithm>

namespace simline {

FarEnd FarEnd::noAnswer(std::chrono::milliseconds after)
{
    FarEnd f = make(Behaviour::NoAnswer);
    f.delay = std::max(after, std::chrono::milliseconds(0));
    return f;
}

FarEnd FarEnd::reject(quint16 cause)
{
    FarEnd f = make(Behaviour::Reject);
    // A bare Q.931 cause becomes the reason the network reports for it.
    f.cause = cause < 0x80 ? quint16(0x3480 | cause) : cause;
    return f;
}

FarEnd FarEnd::dropAfterBlocks(int blocks)
{
    FarEnd f = make(Behaviour::DropAfterBlocks);
    f.count = std::max(0, blocks);
    return f;
}

FarEnd FarEnd::dropAfterPages(int pages)
{
    FarEnd f = make(Behaviour::DropAfterPages);
    f.count = std::max(0, pages);
    return f;
}

FarEnd FarEnd::slower(double factor)
{
    return FarEnd().withRateFactor(factor);
}

FarEnd FarEnd::withRateFactor(double factor) const
{
    FarEnd f = *this;
    // A factor that is no number, zero or negative would stop the line: keep the rate.
    f.rateFactor = factor > 0.0 && factor < 1.0 ? factor : 1.0;
    return f;
}

QString FarEnd::text() const
{
    QString t;
    switch (behaviour) {
    case Behaviour::Answer: t = QStringLiteral("answer"); break;
    case Behaviour::Busy: t = QStringLiteral("busy"); break;
    case Behaviour::NoAnswer:
        t = delay.count() > 0 ? QStringLiteral("no answer after %1 s").arg(double(delay.count()) / 1000.0)
                              : QStringLiteral("no answer");
        break;
    case Behaviour::Reject:
        t = QStringLiteral("reject 0x%1").arg(cause, 4, 16, QLatin1Char('0'));
        break;
    case Behaviour::NotFax: t = QStringLiteral("not a fax"); break;
    case Behaviour::DropAfterBlocks: t = QStringLiteral("drop after %1 blocks").arg(count); break;
    case Behaviour::DropAfterPages: t = QStringLiteral("drop after %1 pages").arg(count); break;
    }
    if (rateFactor < 1.0)
        t += QStringLiteral(" at %1 of the rate").arg(rateFactor);
    if (faxLineClean())
        return t;
    QStringList parts;
    if (line.snrDb)
        parts << QStringLiteral("%1 dB SNR").arg(*line.snrDb);
    if (line.attenuationDb != 0)
        parts << QStringLiteral("%1 dB loss").arg(line.attenuationDb);
    for (const t30::Dropout &d : line.dropouts) {
        QString at;
        switch (d.anchor) {
        case t30::DropoutAnchor::CallStart: at = QStringLiteral("the call"); break;
        case t30::DropoutAnchor::Page: at = QStringLiteral("page %1").arg(d.index); break;
        case t30::DropoutAnchor::Training: at = QStringLiteral("training %1").arg(d.index); break;
        }
        parts << QStringLiteral("%1 ms drop-out %2 ms into %3").arg(d.lengthMs).arg(d.offsetMs).arg(at);
    }
    if (!ecm)
        parts << QStringLiteral("no ECM");
    if (modems != t30::SupportAllModems) {
        QStringList names;
        for (const auto &[flag, name] : {std::pair{t30::SupportV27ter, "V.27ter"},
                                         std::pair{t30::SupportV29, "V.29"},
                                         std::pair{t30::SupportV17, "V.17"}}) {
            if (modems & flag)
                names << QLatin1String(name);
        }
        parts << QStringLiteral("only %1").arg(names.join(QStringLiteral(", ")));
    }
    return parts.isEmpty() ? t : QStringLiteral("%1; line %2").arg(t, parts.join(QStringLiteral(", ")));
}

bool FarEnd::faxLineClean() const
{
    return !line.any() && ecm && modems == t30::SupportAllModems;
}

void FaultPlan::setRule(const QString &numberOrPrefix, const FarEnd &rule)
{
    for (auto &[key, value] : m_rules) {
        if (key == numberOrPrefix) {
            value = rule;
            return;
        }
    }
    m_rules.append({numberOrPrefix, rule});
}

void FaultPlan::removeRule(const QString &numberOrPrefix)
{
    m_rules.removeIf([&](const std::pair<QString, FarEnd> &r) { return r.first == numberOrPrefix; });
}

FarEnd FaultPlan::ruleFor(const QString &number) const
{
    const FarEnd *best = nullptr;
    qsizetype bestLength = -1;
    for (const auto &[key, rule] : m_rules) {
        if (!key.endsWith(QLatin1Char('*'))) {
            if (key == number)
                return rule; // an exact number beats every prefix
            continue;
        }
        const QStringView prefix = QStringView(key).chopped(1);
        if (prefix.size() > bestLength && number.startsWith(prefix)) {
            best = &rule;
            bestLength = prefix.size();
        }
    }
    return best ? *best : m_fallback;
}

} // namespace simline
