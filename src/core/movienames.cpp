#include "movienames.h"

namespace movienames {

const QString FolderPattern = QStringLiteral("*.avi");

bool hasAviExtension(const QString &name)
{
    return name.endsWith(".avi") || name.endsWith(".AVI");
}

bool matchesFolderPattern(const QString &name)
{
    return name.endsWith(".avi", Qt::CaseInsensitive);
}

QString splitStem(const QString &name)
{
    return name.left(name.lastIndexOf(".avi", -1, Qt::CaseInsensitive));
}

QString trackName(const QString &name)
{
    if (!name.contains(".avi", Qt::CaseInsensitive))
        return name + ".gps";
    return QString(name).replace(".avi", ".gps", Qt::CaseInsensitive);
}

QString gpxPathBeside(const QString &trackPath)
{
    return trackPath.chopped(4) + ".gpx";
}

} // namespace movienames
