#include "simline/numberplan.h"

#include <QFile>
#include <QRegularExpression>

#include <algorithm>

namespace simline {

namespace {

using B = FarEnd::Behaviour;

constexpr int MaxSeconds = 24 * 3600;
constexpr int MaxCount = 1000000;
constexpr qint64 MaxFileSize = 1024 * 1024;
// 997's line: noise at this ratio to a far fax without ECM. Training fails at 14,400 and
// 12,000 bit/s and passes at 9,600, and the fax completes whatever the page (the head line's
// minute changes the page data, so where the noise falls in it): 180 of 180 head-line
// minutes for a 600-row text page, two 600-row pages and the sample page, 60 of 60 for a fine
// A4 page, and seeds 1 to 5 alike; without ECM the noise damages a row here and there, as on
// such a line. With ECM the short training before a second page or an ECM block often went
// unheard at 18 dB (two 600-row pages failed in 71 of 180 minutes), and at 14 to 16 dB it
// depends on the seed and fails long pages.
constexpr double NoisyLineSnrDb = 16;
constexpr quint32 NoisyLineSeed = 2;

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

// What the line does to a fax call, written after the behaviour.
enum class Prop { Noise, Attenuation, Dropout, NoEcm, Modems, Seed };

struct Property
{
    const char *name;
    Prop prop;
    int args;
};

constexpr Property Properties[] = {
    {"noise", Prop::Noise, 1},   {"attenuation", Prop::Attenuation, 1},
    {"dropout", Prop::Dropout, 2}, {"no-ecm", Prop::NoEcm, 0},
    {"modems", Prop::Modems, 1}, {"seed", Prop::Seed, 1},
};

constexpr double MaxSnrDb = 60;
constexpr double MaxAttenuationDb = 80;
constexpr int MaxDropoutMs = 10000;
constexpr int MaxDropoutOffsetMs = 3600 * 1000;
constexpr int MaxDropouts = 100;

struct ModemName
{
    const char *name;
    int flag;
};
constexpr ModemName ModemNames[] = {
    {"v27ter", t30::SupportV27ter}, {"v29", t30::SupportV29}, {"v17", t30::SupportV17}};

const Property *propertyNamed(const QString &word)
{
    for (const Property &p : Properties) {
        if (word == QLatin1String(p.name))
            return &p;
    }
    return nullptr;
}

// "page1+1000", "training2", "start+500": where a drop-out falls.
std::optional<t30::Dropout> dropoutPoint(const QString &point)
{
    static const QRegularExpression re(
        QStringLiteral("^(start|page([0-9]{1,4})|training([0-9]{1,4}))(\\+([0-9]{1,7}))?$"));
    const QRegularExpressionMatch m = re.match(point);
    if (!m.hasMatch())
        return std::nullopt;
    t30::Dropout d;
    if (m.captured(1) == QLatin1String("start")) {
        d.anchor = t30::DropoutAnchor::CallStart;
        d.index = 0;
    } else {
        d.anchor = m.capturedLength(2) ? t30::DropoutAnchor::Page : t30::DropoutAnchor::Training;
        d.index = (m.capturedLength(2) ? m.captured(2) : m.captured(3)).toInt();
        if (d.index < 1)
            return std::nullopt;
    }
    d.offsetMs = m.capturedLength(5) ? m.captured(5).toInt() : 0;
    if (d.offsetMs > MaxDropoutOffsetMs)
        return std::nullopt;
    return d;
}

// Applies a line property with its arguments; false with the reason in `why`.
bool applyProperty(const Property &p, const QStringList &args, FarEnd *f, QString *why)
{
    bool ok = true;
    switch (p.prop) {
    case Prop::Noise: {
        const double snr = args[0].toDouble(&ok);
        if (ok && snr > 0 && snr <= MaxSnrDb) {
            f->line.snrDb = snr;
            return true;
        }
        *why = QStringLiteral("noise wants a signal-to-noise ratio in dB above 0 and at most %1")
                   .arg(MaxSnrDb);
        return false;
    }
    case Prop::Attenuation: {
        const double db = args[0].toDouble(&ok);
        if (ok && db >= 0 && db <= MaxAttenuationDb) {
            f->line.attenuationDb = db;
            return true;
        }
        *why = QStringLiteral("attenuation wants dB from 0 to %1").arg(MaxAttenuationDb);
        return false;
    }
    case Prop::Dropout: {
        const int length = args[0].toInt(&ok);
        std::optional<t30::Dropout> d = dropoutPoint(args[1]);
        if (!ok || length < 1 || length > MaxDropoutMs || !d) {
            *why = QStringLiteral("dropout wants a length from 1 to %1 ms and a point: start, "
                                  "pageN or trainingN, optionally +MS after it")
                       .arg(MaxDropoutMs);
            return false;
        }
        if (f->line.dropouts.size() >= MaxDropouts) {
            *why = QStringLiteral("more than %1 drop-outs").arg(MaxDropouts);
            return false;
        }
        d->lengthMs = length;
        f->line.dropouts << *d;
        return true;
    }
    case Prop::NoEcm:
        f->ecm = false;
        return true;
    case Prop::Modems: {
        int set = 0;
        for (const QString &name : args[0].split(QLatin1Char(','))) {
            int flag = 0;
            for (const ModemName &m : ModemNames) {
                if (name == QLatin1String(m.name))
                    flag = m.flag;
            }
            if (!flag) {
                *why = QStringLiteral("modems wants v27ter, v29 or v17, separated by commas");
                return false;
            }
            set |= flag;
        }
        f->modems = set;
        return true;
    }
    case Prop::Seed: {
        const uint seed = args[0].toUInt(&ok);
        if (ok) {
            f->line.seed = seed;
            return true;
        }
        *why = QStringLiteral("seed wants a number from 0 to 4294967295");
        return false;
    }
    }
    return false;
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
    // The behaviour may be left out before line properties: the far end answers.
    qsizetype i = 1;
    FarEnd f;
    QString last = QStringLiteral("answer");
    if (!propertyNamed(words[1])) {
        const Keyword *k = nullptr;
        for (const Keyword &candidate : Keywords) {
            if (words[1] == QLatin1String(candidate.name))
                k = &candidate;
        }
        if (!k) {
            *why = QStringLiteral("unknown behaviour \"%1\"").arg(words[1]);
            return false;
        }
        last = words[1];
        ++i;
        const bool hasArg = k->arg != Arg::None && i < words.size() && !propertyNamed(words[i]);
        const auto parsed = farEndOf(*k, words[1], hasArg ? words[i] : QString(), hasArg, why);
        if (!parsed)
            return false;
        f = *parsed;
        if (hasArg)
            ++i;
    }
    while (i < words.size()) {
        const Property *p = propertyNamed(words[i]);
        if (!p) {
            *why = words[i].front().isLetter()
                       ? QStringLiteral("unknown line property \"%1\"").arg(words[i])
                       : QStringLiteral("too many arguments for %1").arg(last);
            return false;
        }
        const bool connects = f.behaviour != B::Busy && f.behaviour != B::NoAnswer
                              && f.behaviour != B::Reject;
        if (!connects) {
            *why = QStringLiteral("%1 connects no call for %2 to act on").arg(words[1], words[i]);
            return false;
        }
        const QStringList args = words.mid(i + 1, p->args);
        if (args.size() < p->args || std::any_of(args.begin(), args.end(), [](const QString &a) {
                return propertyNamed(a) != nullptr;
            })) {
            *why = QStringLiteral("%1 wants %2 argument%3").arg(words[i]).arg(p->args)
                       .arg(p->args == 1 ? QString() : QStringLiteral("s"));
            return false;
        }
        if (!applyProperty(*p, args, &f, why))
            return false;
        last = words[i];
        i += 1 + p->args;
    }
    *farEnd = f;
    return true;
}

// The line properties of a far end as a plan file writes them: " noise 18 dropout 30 page1+1000".
QString propertiesText(const FarEnd &f)
{
    QString t;
    if (f.line.snrDb)
        t += QStringLiteral(" noise %1").arg(*f.line.snrDb);
    if (f.line.attenuationDb != 0)
        t += QStringLiteral(" attenuation %1").arg(f.line.attenuationDb);
    for (const t30::Dropout &d : f.line.dropouts) {
        QString at;
        switch (d.anchor) {
        case t30::DropoutAnchor::CallStart: at = QStringLiteral("start"); break;
        case t30::DropoutAnchor::Page: at = QStringLiteral("page%1").arg(d.index); break;
        case t30::DropoutAnchor::Training: at = QStringLiteral("training%1").arg(d.index); break;
        }
        if (d.offsetMs)
            at += QStringLiteral("+%1").arg(d.offsetMs);
        t += QStringLiteral(" dropout %1 %2").arg(d.lengthMs).arg(at);
    }
    if (!f.ecm)
        t += QStringLiteral(" no-ecm");
    if (f.modems != t30::SupportAllModems) {
        QStringList names;
        for (const ModemName &m : ModemNames) {
            if (f.modems & m.flag)
                names << QLatin1String(m.name);
        }
        t += QStringLiteral(" modems %1").arg(names.join(QLatin1Char(',')));
    }
    if (f.line.seed != t30::Impairments().seed)
        t += QStringLiteral(" seed %1").arg(f.line.seed);
    return t;
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
    // A noisy line: training falls back from 14,400 to 9,600 bit/s and the fax comes through.
    FarEnd noisy;
    noisy.line.snrDb = NoisyLineSnrDb;
    noisy.line.seed = NoisyLineSeed;
    noisy.ecm = false;
    p.setRule(QStringLiteral("997"), noisy);
    // A drop-out as the first page's signal begins, to a fax without ECM: the receiver loses
    // the page's carrier and the call fails. (ECM would repair it by retransmission; later in
    // the page a receiver without ECM often keeps the carrier and takes damaged rows.)
    FarEnd dropping;
    dropping.line.dropouts << t30::Dropout{t30::DropoutAnchor::Page, 1, 250, 30};
    dropping.ecm = false;
    p.setRule(QStringLiteral("998"), dropping);
    return p;
}

namespace {

QString behaviourText(const FarEnd &f)
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

} // namespace

QString planText(const FarEnd &f)
{
    return behaviourText(f) + propertiesText(f);
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
