#include "platform/drivepath.h"

#include "platform/fileinuse.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QStandardPaths>

#ifdef Q_OS_UNIX
#include <sys/stat.h>
#endif

namespace platform {

bool isDrivePath(const QString &path)
{
    if (path.size() < 3)
        return false;
    const QChar letter = path.at(0);
    const bool isLetter = (letter >= u'A' && letter <= u'Z') || (letter >= u'a' && letter <= u'z');
    return isLetter && path.at(1) == u':' && (path.at(2) == u'\\' || path.at(2) == u'/');
}

QString driveFolder(QChar drive)
{
    const QString data = QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation);
    return data + QStringLiteral("/quillon-console/drives/") + drive.toLower();
}

QString localPath(const QString &path)
{
#ifdef Q_OS_WIN
    return path;
#else
    if (!isDrivePath(path))
        return path;
    const QString root = driveFolder(path.at(0));
    QString rest = path.mid(3);
    rest.replace(u'\\', u'/');
    return rest.isEmpty() ? root + u'/' : root + u'/' + rest;
#endif
}

QString localPathForWriting(const QString &path)
{
#ifndef Q_OS_WIN
    if (isDrivePath(path))
        QDir().mkpath(driveFolder(path.at(0)));
#endif
    return localPath(path);
}

bool deleteFile(const QString &path, QString *error)
{
    const QString local = localPath(path);
    const QFileInfo info(local);
    QString reason;
    if (path.isEmpty())
        reason = QStringLiteral("no file named");
    else if (!info.exists() && !info.isSymLink())
        reason = QStringLiteral("no such file: %1").arg(local);
    else if (info.isDir() && !info.isSymLink())
        reason = QStringLiteral("is a folder: %1").arg(local);
    else if (isInUse(local))
        reason = QStringLiteral("file in use: %1").arg(local);
    else {
        QFile file(local);
        if (file.remove())
            return true;
        reason = file.errorString();
    }
    if (error)
        *error = reason;
    return false;
}

bool isSameFile(const QString &a, const QString &b)
{
    const QString la = localPath(a);
    const QString lb = localPath(b);
#ifdef Q_OS_UNIX
    struct stat sa {};
    struct stat sb {};
    const QByteArray ea = QFile::encodeName(la);
    const QByteArray eb = QFile::encodeName(lb);
    if (::stat(ea.constData(), &sa) != 0 || ::stat(eb.constData(), &sb) != 0)
        return false;
    return sa.st_dev == sb.st_dev && sa.st_ino == sb.st_ino;
#else
    const QString ca = QFileInfo(la).canonicalFilePath();
    const QString cb = QFileInfo(lb).canonicalFilePath();
    return !ca.isEmpty() && ca.compare(cb, Qt::CaseInsensitive) == 0;
#endif
}

} // namespace platform
