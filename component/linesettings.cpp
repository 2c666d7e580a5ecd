#include "component/linesettings.h"

#include <QDir>
#include <QFileInfo>
#include <QRegularExpression>
#include <QSettings>
#include <QStandardPaths>

#include <cmath>
#include <functional>

namespace quillon::component {

namespace {

using Parse = std::function<QString(const QString &value, LineSettings &settings)>; // "" or why

bool isDigits(const QString &text)
{
    return !text.isEmpty()
           && std::all_of(text.begin(), text.end(), [](QChar c) { return c >= u'0' && c <= u'9'; });
}

QString parseType(const QString &value, LineSettings &s)
{
    if (value.isEmpty() || value == QLatin1String("simulated"))
        s.type = LineSettings::Type::Simulated;
    else if (value == QLatin1String("capi20"))
        s.type = LineSettings::Type::Capi20;
    else
        return QStringLiteral("unknown line type (simulated or capi20)");
    return {};
}

// A whole number from min to max, digits only; an empty value leaves `out` as it is.
bool parseWhole(const QString &value, uint min, uint max, uint &out)
{
    if (value.isEmpty())
        return true;
    bool ok = false;
    const uint n = value.toUInt(&ok);
    if (!ok || !isDigits(value) || n < min || n > max)
        return false;
    out = n;
    return true;
}

QString parseController(const QString &value, LineSettings &s)
{
    uint controller = s.controller;
    if (!parseWhole(value, 1, 127, controller))
        return QStringLiteral("not a controller number (1 to 127)");
    s.controller = controller;
    return {};
}

QString parseDriver(const QString &value, LineSettings &s)
{
    if (!value.isEmpty() && value != QLatin1String("rcapi") && value != QLatin1String("fritzbox"))
        return QStringLiteral("unknown driver (empty, rcapi or fritzbox)");
    s.driver = value;
    return {};
}

QString parseHost(const QString &value, LineSettings &s)
{
    if (value.contains(QRegularExpression(QStringLiteral("[\\s/]"))))
        return QStringLiteral("not a host name or address");
    s.host = value;
    return {};
}

QString parsePort(const QString &value, LineSettings &s)
{
    uint port = uint(s.port);
    if (!parseWhole(value, 1, 65535, port))
        return QStringLiteral("not a port number (1 to 65535)");
    s.port = int(port);
    return {};
}

QString parseAnswerNumbers(const QString &value, LineSettings &s)
{
    s.answerNumbers.clear();
    if (value.isEmpty())
        return {};
    for (const QString &part : value.split(u',')) {
        const QString number = part.trimmed();
        if (!isDigits(number))
            return QStringLiteral("\"%1\" is not a number (digits, separated by commas)").arg(number);
        s.answerNumbers << number;
    }
    return {};
}

QString parseSpeed(const QString &value, LineSettings &s)
{
    if (value.isEmpty())
        return {};
    bool ok = false;
    const double speed = value.toDouble(&ok);
    if (!ok || !std::isfinite(speed) || speed < 0)
        return QStringLiteral("not a speed factor (0 or more)");
    s.speed = speed;
    return {};
}

QString parseNumberPlan(const QString &value, LineSettings &s)
{
    if (!value.isEmpty()) {
        const QFileInfo file(value);
        if (!file.exists())
            return QStringLiteral("no such number-plan file");
        if (!file.isFile() || !file.isReadable())
            return QStringLiteral("the number-plan file cannot be read");
    }
    s.numberPlan = value;
    return {};
}

QString parseRecordFolder(const QString &value, LineSettings &s)
{
    if (!value.isEmpty()) {
        const QFileInfo folder(value);
        if (!folder.isDir())
            return QStringLiteral("no such folder");
        if (!folder.isWritable())
            return QStringLiteral("the folder is not writable");
    }
    s.recordFolder = value;
    return {};
}

struct Key
{
    const char *group;
    const char *name;
    Parse parse;
};

const std::vector<Key> &keys()
{
    static const std::vector<Key> table = {
        {"line", "type", parseType},
        {"line", "controller", parseController},
        {"line", "driver", parseDriver},
        {"line", "host", parseHost},
        {"line", "port", parsePort},
        {"answer", "numbers", parseAnswerNumbers},
        {"simulated", "speed", parseSpeed},
        {"simulated", "numbers", parseNumberPlan},
        {"simulated", "record", parseRecordFolder},
    };
    return table;
}

// A value as written, without a trailing "; comment" (QSettings splits a value at its commas,
// and keeps what follows a semicolon).
QString valueText(const QVariant &v)
{
    QString text = v.typeId() == QMetaType::QStringList ? v.toStringList().join(u',') : v.toString();
    static const QRegularExpression comment(QStringLiteral("(^|\\s+);.*$"));
    text.remove(comment);
    return text.trimmed();
}

QString located(const QString &path, const QString &group, const QString &key, const QString &value,
                const QString &why)
{
    return QStringLiteral("%1: [%2] %3=%4: %5").arg(QDir::toNativeSeparators(path), group, key, value, why);
}

} // namespace

bool LineSettings::answers(const QString &calledNumber) const
{
    return answerNumbers.isEmpty() || answerNumbers.contains(calledNumber);
}

QString lineSettingsPath()
{
    return QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation)
           + QStringLiteral("/quillon/quillon.conf");
}

std::optional<LineSettings> readLineSettings(const QString &path, QString *error)
{
    LineSettings settings;
    const QFileInfo file(path);
    if (!file.exists())
        return settings;
    if (!file.isFile() || !file.isReadable()) {
        *error = QStringLiteral("%1: the settings file cannot be read").arg(QDir::toNativeSeparators(path));
        return std::nullopt;
    }
    QSettings ini(path, QSettings::IniFormat);
    if (ini.status() != QSettings::NoError) {
        *error = QStringLiteral("%1: not a settings file in INI form").arg(QDir::toNativeSeparators(path));
        return std::nullopt;
    }
    // Every key must be one this component reads: a misspelt key would otherwise be a
    // setting silently not taken.
    for (const QString &key : ini.allKeys()) {
        const QString group = key.section(u'/', 0, 0);
        const QString name = key.section(u'/', 1);
        const bool known = std::any_of(keys().begin(), keys().end(), [&](const Key &k) {
            return group == QLatin1String(k.group) && name == QLatin1String(k.name);
        });
        if (!known) {
            *error = located(path, name.isEmpty() ? QStringLiteral("General") : group,
                             name.isEmpty() ? key : name, valueText(ini.value(key)),
                             QStringLiteral("unknown key"));
            return std::nullopt;
        }
    }
    for (const Key &k : keys()) {
        const QString key = QStringLiteral("%1/%2").arg(QLatin1String(k.group), QLatin1String(k.name));
        if (!ini.contains(key))
            continue;
        const QString value = valueText(ini.value(key));
        const QString why = k.parse(value, settings);
        if (!why.isEmpty()) {
            *error = located(path, QLatin1String(k.group), QLatin1String(k.name), value, why);
            return std::nullopt;
        }
    }
    if (settings.type == LineSettings::Type::Capi20) {
        if (!settings.driver.isEmpty() && settings.host.isEmpty()) {
            *error = located(path, QStringLiteral("line"), QStringLiteral("host"), QString(),
                             QStringLiteral("driver %1 needs the server's host").arg(settings.driver));
            return std::nullopt;
        }
        if (settings.driver.isEmpty() && (!settings.host.isEmpty() || settings.port)) {
            *error = located(path, QStringLiteral("line"), QStringLiteral("driver"), QString(),
                             QStringLiteral("a host or port needs a driver (rcapi or fritzbox)"));
            return std::nullopt;
        }
    }
    return settings;
}

} // namespace quillon::component
