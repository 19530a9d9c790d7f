#include "driveoverlay.h"

#include "globals.h"

#include <QDateTime>

#include <cmath>

namespace driveoverlay {

namespace {

constexpr double MaxSpeedKmh = 400;
const QString Unknown = QStringLiteral("--");

QString speedText(float kmh)
{
    if (!(kmh >= 0 && kmh <= MaxSpeedKmh)) // NaN fails both
        return Unknown;
    return QString("%1 km/h").arg(std::lround(kmh));
}

// "33.87500° S": five decimals, a metre.
QString coordinateText(double degrees, char positive, char negative)
{
    return QString("%1° %2")
        .arg(std::fabs(degrees), 0, 'f', 5)
        .arg(degrees < 0 ? negative : positive);
}

QString positionText(double latitude, double longitude)
{
    if (latitude == 0 && longitude == 0)
        return QStringLiteral("no GPS fix");
    if (!(std::fabs(latitude) <= 90 && std::fabs(longitude) <= 180))
        return Unknown;
    return coordinateText(latitude, 'N', 'S') + "  " + coordinateText(longitude, 'E', 'W');
}

// "0:01:05.00", ASS's time.
QString assTime(int seconds)
{
    return QString("%1:%2:%3.00")
        .arg(seconds / 3600)
        .arg(seconds / 60 % 60, 2, 10, QChar('0'))
        .arg(seconds % 60, 2, 10, QChar('0'));
}

} // namespace

QString recordText(const s_BLOCK &block, int record, long dateShift)
{
    const QDateTime local =
        QDateTime::fromSecsSinceEpoch(qint64(block.recTime[record]) + dateShift, Qt::UTC);
    return local.toString("yyyy-MM-dd HH:mm:ss") + "   " + speedText(block.speedKmh[record]) +
           "   " + positionText(block.latitude[record], block.longitude[record]);
}

QByteArray subtitles(const s_BLOCK &block, long dateShift)
{
    const int records = recordCount(block);
    if (records == 0)
        return {};
    // Sizes on a canvas of 1920x1080, which libass fits to the picture: white DejaVu Sans
    // letters of 1/23 of its height, centred in the band at the bottom.
    QByteArray text = "[Script Info]\n"
                      "ScriptType: v4.00+\n"
                      "PlayResX: 1920\n"
                      "PlayResY: 1080\n"
                      "ScaledBorderAndShadow: yes\n"
                      "WrapStyle: 2\n"
                      "YCbCr Matrix: None\n"
                      "\n"
                      "[V4+ Styles]\n"
                      "Format: Name, Fontname, Fontsize, PrimaryColour, SecondaryColour, "
                      "OutlineColour, BackColour, Bold, Italic, Underline, StrikeOut, ScaleX, "
                      "ScaleY, Spacing, Angle, BorderStyle, Outline, Shadow, Alignment, MarginL, "
                      "MarginR, MarginV, Encoding\n"
                      "Style: Drive,DejaVu Sans,64,&H00FFFFFF,&H00FFFFFF,&H00000000,&H00000000,"
                      "0,0,0,0,100,100,0,0,1,0,0,2,0,0,13,1\n"
                      "\n"
                      "[Events]\n"
                      "Format: Layer, Start, End, Style, Name, MarginL, MarginR, MarginV, "
                      "Effect, Text\n";
    for (int i = 0; i < records; ++i)
        text += QString("Dialogue: 0,%1,%2,Drive,,0,0,0,,%3\n")
                    .arg(assTime(i), assTime(i + 1), recordText(block, i, dateShift))
                    .toUtf8();
    return text;
}

} // namespace driveoverlay
