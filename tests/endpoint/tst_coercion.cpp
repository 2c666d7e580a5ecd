// The one rule for values that cross the component boundary: every value type an automation
// client may hand over, as a text and as a Boolean. The component converts its arguments with
// these functions; the console's binding throws a type mismatch where the rule has no value.

#include "common/testenv.h"

#include "endpoint/endpoint.h"
#include "platform/failure.h"

#include <QDate>
#include <QPointF>

using quillon::kErrTypeMismatch;

namespace {

const QString kNoValue = QStringLiteral("<mismatch>");

QString textOf(const std::optional<QString> &t) { return t ? *t : kNoValue; }
QString flagOf(const std::optional<bool> &b)
{
    return b ? (*b ? QStringLiteral("True") : QStringLiteral("False")) : kNoValue;
}

} // namespace

class TestCoercion : public QObject
{
    Q_OBJECT

private slots:
    void oneRuleForEveryValue_data()
    {
        QTest::addColumn<QVariant>("value");
        QTest::addColumn<QString>("text");
        QTest::addColumn<QString>("flag");
        auto row = [](const char *name, const QVariant &v, const QString &text, const QString &flag) {
            QTest::newRow(name) << v << text << flag;
        };
        const QString T = QStringLiteral("True"), F = QStringLiteral("False");
        row("empty value", QVariant(), QString(), F);
        row("Boolean true", QVariant(true), T, T);
        row("Boolean false", QVariant(false), F, F);
        row("int -1", QVariant(-1), "-1", T);
        row("int 0", QVariant(0), "0", F);
        row("uint", QVariant(7u), "7", T);
        row("long", QVariant::fromValue(long(12)), "12", T);
        row("unsigned long 0", QVariant::fromValue(0ul), "0", F);
        row("long long", QVariant(qlonglong(1) << 40), "1099511627776", T);
        row("unsigned long long", QVariant(qulonglong(5)), "5", T);
        row("short", QVariant::fromValue(short(-3)), "-3", T);
        row("unsigned short 0", QVariant::fromValue(ushort(0)), "0", F);
        row("char", QVariant::fromValue(char(65)), "65", T);
        row("signed char 0", QVariant::fromValue(static_cast<signed char>(0)), "0", F);
        row("unsigned char", QVariant::fromValue(uchar(200)), "200", T);
        row("double 0.5", QVariant(0.5), "0.5", T);
        row("double 0", QVariant(0.0), "0", F);
        row("float", QVariant(1.5f), "1.5", T);
        row("text", QVariant(QStringLiteral("ISDN Ä 2.0")), "ISDN Ä 2.0", kNoValue);
        row("empty text", QVariant(QString()), QString(), kNoValue);
        row("text True", QVariant(QStringLiteral("True")), "True", T);
        row("text false, spaced", QVariant(QStringLiteral(" false ")), " false ", F);
        row("text TRUE", QVariant(QStringLiteral("TRUE")), "TRUE", T);
        row("text 0", QVariant(QStringLiteral("0")), "0", F);
        row("text -2.5", QVariant(QStringLiteral("-2.5")), "-2.5", T);
        row("text yes", QVariant(QStringLiteral("yes")), "yes", kNoValue);
        row("QChar", QVariant(QChar(u'x')), "x", kNoValue);
        row("list", QVariant(QVariantList{1}), kNoValue, kNoValue);
        row("map", QVariant(QVariantMap{}), kNoValue, kNoValue);
        row("bytes", QVariant(QByteArray("6")), kNoValue, kNoValue);
        row("date", QVariant(QDate(2026, 1, 2)), kNoValue, kNoValue);
        row("point", QVariant(QPointF(1, 2)), kNoValue, kNoValue);
    }
    void oneRuleForEveryValue()
    {
        QFETCH(QVariant, value);
        QFETCH(QString, text);
        QFETCH(QString, flag);
        QCOMPARE(textOf(quillon::coercion::toText(value)), text);
        QCOMPARE(flagOf(quillon::coercion::toBoolean(value)), flag);

        // The console's binding: the same values, a type mismatch where there is none.
        auto thrown = [](auto convert) -> QString {
            try {
                return convert();
            } catch (const platform::Failure &f) {
                return f.number() == kErrTypeMismatch ? kNoValue : f.text();
            }
        };
        QCOMPARE(thrown([&] { return quillon::toText(value); }), text);
        QCOMPARE(thrown([&] { return quillon::toBoolean(value) ? QStringLiteral("True")
                                                               : QStringLiteral("False"); }),
                 flag);
    }

    void everyMemberHasOneEntry()
    {
        QSet<quint32> ids;
        QSet<QString> names;
        for (const quillon::MemberInfo &m : quillon::kMembers) {
            ids.insert(quint32(m.id));
            names.insert(QLatin1String(m.name));
            QCOMPARE(quillon::findMember(m.id), &m);
            QCOMPARE(m.argumentCount > 0, m.kind == quillon::MemberKind::Method
                                              && m.type != quillon::ValueType::None);
        }
        QCOMPARE(ids.size(), int(std::size(quillon::kMembers)));
        QCOMPARE(names.size(), ids.size());
        QCOMPARE(quillon::findMember(quillon::MemberId(0x60030099)), nullptr);
    }
};

QUILLON_TEST_GUILESS_MAIN(TestCoercion)
#include "tst_coercion.moc"
