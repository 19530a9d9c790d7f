#include "gpxtrack.h"

#include "globals.h"

#include <QDateTime>
#include <QXmlStreamReader>
#include <QXmlStreamWriter>

#include <cmath>

namespace gpx {

namespace {

const QString GpxNamespace = QStringLiteral("http://www.topografix.com/GPX/1/1");
const QString ExtensionNamespace =
    QStringLiteral("http://www.garmin.com/xmlschemas/TrackPointExtension/v2");
const QString InstanceNamespace = QStringLiteral("http://www.w3.org/2001/XMLSchema-instance");
const QString SchemaLocations =
    QStringLiteral("http://www.topografix.com/GPX/1/1 http://www.topografix.com/GPX/1/1/gpx.xsd "
                   "http://www.garmin.com/xmlschemas/TrackPointExtension/v2 "
                   "http://www8.garmin.com/xmlschemas/TrackPointExtensionv2.xsd");

QString utcTime(qint32 secondsSince1970)
{
    return QDateTime::fromSecsSinceEpoch(secondsSince1970, Qt::UTC).toString(Qt::ISODate);
}

// Seven decimals hold a position to a centimetre, as finely as the NMEA track does.
QString degrees(double value)
{
    return QString::number(value, 'f', 7);
}

// GPX takes longitudes below 180 only: 180, which rounding can reach, is the meridian -180.
QString longitude(double value)
{
    const double rounded = std::round(value * 1e7) / 1e7;
    return degrees(rounded < 180 ? rounded : rounded - 360);
}

void writePoint(QXmlStreamWriter &xml, const TrackPoint &point)
{
    xml.writeStartElement(GpxNamespace, "trkpt");
    xml.writeAttribute("lat", point.latitude);
    xml.writeAttribute("lon", point.longitude);
    xml.writeTextElement(GpxNamespace, "time", point.time);
    if (!point.speed.isEmpty()) {
        xml.writeStartElement(GpxNamespace, "extensions");
        xml.writeStartElement(ExtensionNamespace, "TrackPointExtension");
        xml.writeTextElement(ExtensionNamespace, "speed", point.speed);
        xml.writeEndElement();
        xml.writeEndElement();
    }
    xml.writeEndElement();
}

void startRoot(QXmlStreamWriter &xml)
{
    xml.writeDefaultNamespace(GpxNamespace);
    xml.writeNamespace(ExtensionNamespace, "gpxtpx");
    xml.writeNamespace(InstanceNamespace, "xsi");
    xml.writeStartElement(GpxNamespace, "gpx");
    xml.writeAttribute("version", "1.1");
    xml.writeAttribute("creator", "BRIGHTQUILL 4400 Converter " + VERSION_g);
    xml.writeAttribute(InstanceNamespace, "schemaLocation", SchemaLocations);
}

} // namespace

bool hasFix(const s_BLOCK &block, int i)
{
    const double latitude = block.latitude[i];
    const double longitude = block.longitude[i];
    // Every comparison with NaN is false: a position that is no number is no fix.
    const bool onGlobe = std::fabs(latitude) <= 90 && std::fabs(longitude) <= 180;
    return onGlobe && !(latitude == 0 && longitude == 0);
}

int firstFix(const s_BLOCK &block)
{
    for (int i = 0; i < recordCount(block); ++i)
        if (hasFix(block, i))
            return i;
    return -1;
}

bool hasPoints(const s_BLOCK &block)
{
    return firstFix(block) >= 0;
}

QList<TrackPoint> points(const s_BLOCK &block)
{
    QList<TrackPoint> found;
    for (int i = 0; i < recordCount(block); ++i) {
        if (!hasFix(block, i))
            continue;
        // A damaged record's speed that is no number or below zero is left out, not its point.
        const double kmh = block.speedKmh[i];
        found << TrackPoint{
            degrees(block.latitude[i]), longitude(block.longitude[i]), utcTime(block.recTime[i]),
            std::isfinite(kmh) && kmh >= 0 ? QString::number(kmh / 3.6, 'f', 3) : QString()};
    }
    return found;
}

QList<TrackPoint> readPoints(QIODevice &device, bool &wellFormed)
{
    QXmlStreamReader xml(&device);
    QList<TrackPoint> found;
    while (!xml.atEnd()) {
        if (xml.readNext() != QXmlStreamReader::StartElement)
            continue;
        if (xml.name() == QLatin1String("trkpt"))
            found << TrackPoint{xml.attributes().value("lat").toString(),
                                xml.attributes().value("lon").toString(),
                                {},
                                {}};
        else if (xml.name() == QLatin1String("time") && !found.isEmpty())
            found.last().time = xml.readElementText();
        else if (xml.name() == QLatin1String("speed") && !found.isEmpty())
            found.last().speed = xml.readElementText();
    }
    wellFormed = !xml.hasError();
    return found;
}

bool writeTrack(const s_BLOCK &block, const QString &trackName, QIODevice &device)
{
    return writeTrack(points(block), trackName, device);
}

bool writeTrack(const QList<TrackPoint> &points, const QString &trackName, QIODevice &device)
{
    QXmlStreamWriter xml(&device);
    xml.setAutoFormatting(true);
    xml.writeStartDocument();
    startRoot(xml);
    if (!points.isEmpty()) {
        xml.writeStartElement(GpxNamespace, "metadata");
        xml.writeTextElement(GpxNamespace, "time", points.first().time);
        xml.writeEndElement();
    }
    xml.writeStartElement(GpxNamespace, "trk");
    xml.writeTextElement(GpxNamespace, "name", trackName);
    xml.writeStartElement(GpxNamespace, "trkseg");
    for (const TrackPoint &point : points)
        writePoint(xml, point);
    xml.writeEndDocument();
    return !xml.hasError();
}

} // namespace gpx
