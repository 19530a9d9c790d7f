#include "joblog.h"

#include <QDir>
#include <QFile>

namespace joblog {

static QString failure(const QString &path, const QFile &log)
{
    return QString("%1: %2").arg(QDir::toNativeSeparators(path), log.errorString());
}

QString truncate(const QString &path)
{
    QFile log(path);
    return log.open(QIODevice::WriteOnly | QIODevice::Truncate) ? QString() : failure(path, log);
}

QString append(const QString &path, const QByteArray &entry)
{
    QFile log(path);
    if (!log.open(QIODevice::WriteOnly | QIODevice::Append | QIODevice::Unbuffered))
        return failure(path, log);
    const qint64 before = log.size();
    if (log.write(entry) == entry.size())
        return {};
    const QString reason = failure(path, log);
    log.resize(before);
    return reason;
}

QByteArray entry(const QString &movie, const QByteArray &errorOutput, const QString &result)
{
    QByteArray text = QString("===== %1 =====\n").arg(movie).toUtf8() + errorOutput;
    if (!errorOutput.isEmpty() && !errorOutput.endsWith('\n'))
        text += '\n';
    return text + QString("===== %1: %2 =====\n\n").arg(movie, result).toUtf8();
}

} // namespace joblog
