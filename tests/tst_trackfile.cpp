// The track files written beside the converted movies: the NMEA track's exact
// sentences, its name and its date; the GPX track's outline; and that GPSBabel reads
// both back.

#include "driveoverlay.h"
#include "globals.h"
#include "gpxtrack.h"
#include "mainwindow.h"
#include "testsupport.h"

#include <QBuffer>
#include <QDateTime>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QXmlStreamReader>
#include <QtTest>

#include <cmath>
#include <cstdio>
#include <limits>
#include <memory>

namespace {

constexpr qint32 Start = 1342256765; // 2012-07-14 09:06:05 UTC

struct Record
{
    qint32 time = Start;
    double latitude = -33.875;
    double longitude = 151.0703125;
    float speedKmh = 57.3f;
    float g[3] = {0.015625f, -0.984375f, 0.125f};
};

void setRecord(s_BLOCK &block, int i, const Record &r)
{
    block.recTime[i] = r.time;
    block.latitude[i] = r.latitude;
    block.longitude[i] = r.longitude;
    block.speedKmh[i] = r.speedKmh;
    block.gForceX[i] = r.g[0];
    block.gForceY[i] = r.g[1];
    block.gForceZ[i] = r.g[2];
}

// Block 0, holding the records.
s_BLOCK &blockOf(const QList<Record> &records)
{
    s_BLOCK &block = BLOCKS_g[0];
    block.nRecords = int(records.size());
    for (int i = 0; i < records.size(); ++i)
        setRecord(block, i, records[i]);
    return block;
}

// One record a second from the start, heading north-east by steps that need seven decimals.
QList<Record> drive(double latitude, double longitude, int seconds)
{
    QList<Record> records(seconds);
    for (int i = 0; i < seconds; ++i) {
        records[i].time = Start + i;
        records[i].latitude = latitude + i * 0.0001234567;
        records[i].longitude = longitude + i * 0.0002345678;
    }
    return records;
}

// A drive at these speeds.
QList<Record> driveAt(const QList<float> &speedsKmh)
{
    QList<Record> records = drive(-33.875, 151.0703125, int(speedsKmh.size()));
    for (int i = 0; i < records.size(); ++i)
        records[i].speedKmh = speedsKmh[i];
    return records;
}

Record at(double latitude, double longitude)
{
    Record r;
    r.latitude = latitude;
    r.longitude = longitude;
    return r;
}

// An XML element: the local names of the path from the root ("gpx/trk/name"), its
// namespace, attributes and text.
struct Element
{
    QString path;
    QString namespaceUri;
    QXmlStreamAttributes attributes;
    QString text;
};

// The elements of a document in document order; none, and `error` set, unless it is
// well-formed.
QList<Element> xmlElements(QIODevice &device, QString &error)
{
    QXmlStreamReader xml(&device);
    QList<Element> elements;
    QList<int> open; // indices of the elements not yet ended
    while (!xml.atEnd()) {
        const QXmlStreamReader::TokenType token = xml.readNext();
        if (token == QXmlStreamReader::StartElement) {
            const QString parent = open.isEmpty() ? QString() : elements[open.last()].path + '/';
            open.append(int(elements.size()));
            elements.append({parent + xml.name().toString(), xml.namespaceUri().toString(),
                             xml.attributes(), QString()});
        } else if (token == QXmlStreamReader::Characters && !open.isEmpty()) {
            elements[open.last()].text += xml.text();
        } else if (token == QXmlStreamReader::EndElement) {
            open.removeLast();
        }
    }
    error = xml.errorString();
    return xml.hasError() ? QList<Element>() : elements;
}

struct Point
{
    double latitude;
    double longitude;
    QDateTime time;
};

Point pointOf(const Record &r)
{
    return {r.latitude, r.longitude, QDateTime::fromSecsSinceEpoch(r.time, Qt::UTC)};
}

QList<Point> pointsOf(const QList<Record> &records)
{
    QList<Point> points;
    for (const Record &r : records)
        points.append(pointOf(r));
    return points;
}

// The track points, or waypoints, of a GPX document.
QList<Point> gpxPoints(const QList<Element> &elements)
{
    QList<Point> points;
    for (const Element &e : elements) {
        const QString name = e.path.section('/', -1);
        const QString parent = e.path.section('/', -2, -2);
        if (name == u"trkpt" || name == u"wpt")
            points.append({e.attributes.value("lat").toDouble(),
                           e.attributes.value("lon").toDouble(), QDateTime()});
        else if (name == u"time" && (parent == u"trkpt" || parent == u"wpt"))
            points.last().time = QDateTime::fromString(e.text, Qt::ISODateWithMs);
    }
    return points;
}

// Positions to 1e-6 degrees, times to the second and in UTC.
void comparePoints(const QList<Point> &read, const QList<Point> &expected)
{
    QCOMPARE(read.size(), expected.size());
    for (int i = 0; i < read.size(); ++i) {
        const QByteArray point = "point " + QByteArray::number(i);
        QVERIFY2(std::fabs(read[i].latitude - expected[i].latitude) < 1e-6, point);
        QVERIFY2(std::fabs(read[i].longitude - expected[i].longitude) < 1e-6, point);
        QCOMPARE(read[i].time.timeSpec(), Qt::UTC);
        QCOMPARE(read[i].time, expected[i].time);
    }
}

QByteArray gpxOf(const QList<Record> &records)
{
    QBuffer document;
    document.open(QIODevice::WriteOnly);
    return gpx::writeTrack(blockOf(records), "FILE0001", document) ? document.data() : QByteArray();
}

QByteArray readAll(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<unreadable>");
}

// An NMEA line carries the XOR of the bytes between '$' and '*' in two hex digits.
bool checksumValid(const QByteArray &line)
{
    const int star = line.lastIndexOf('*');
    if (!line.startsWith('$') || star < 0 || line.size() != star + 3)
        return false;
    char sum = 0;
    for (int i = 1; i < star; ++i)
        sum ^= line[i];
    return line.mid(star + 1) ==
           QByteArray::number(uchar(sum), 16).toUpper().rightJustified(2, '0');
}

} // namespace

Q_DECLARE_METATYPE(Record)
Q_DECLARE_METATYPE(Point)

class TrackFileTest : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();

    void writesSentences_data();
    void writesSentences();
    void keepsEveryLineWhole_data();
    void keepsEveryLineWhole();
    void namesTrackAfterMovie_data();
    void namesTrackAfterMovie();
    void trackWithoutRecordsIsEmptyAndUndated();
    void datesFile_data();
    void datesFile();
    void datingMissingFileFails();
    void gpsbabelReadsTrack();
    void gpsbabelReadsGpx_data();
    void gpsbabelReadsGpx();
    void gpxFollowsSchemaOutline_data();
    void gpxFollowsSchemaOutline();
    void gpxNeedsAFix_data();
    void gpxNeedsAFix();
    void gpxReportsFullDevice();
    void driveMovieTextSaysEachRecord_data();
    void driveMovieTextSaysEachRecord();

private:
    QString saveTrack(const QList<Record> &records, const QString &movieName = "FILE0001.AVI");
    QList<Point> gpsbabelPoints(const QString &format, const QString &input, QString &error);

    QString gpsbabel;
    QTemporaryDir dir;
    std::unique_ptr<MainWindow> window;
};

void TrackFileTest::initTestCase()
{
    QVERIFY(dir.isValid());
    testsupport::resetProgramState();
    window = std::make_unique<MainWindow>();
    gpsbabel = QStandardPaths::findExecutable("gpsbabel");
}

void TrackFileTest::init()
{
    CONF_g.outputDirectory = dir.path() + '/';
    CONF_g.timezoneOffset = 0;
}

// Saves the records as block 0's track and returns the track's path.
QString TrackFileTest::saveTrack(const QList<Record> &records, const QString &movieName)
{
    blockOf(records).movieFile = QFileInfo(dir.filePath(movieName));
    window->save_gps_and_gforce_data_nmea(0);
    return dir.filePath(QFileInfo(movieName).completeBaseName() + ".gps");
}

void TrackFileTest::writesSentences_data()
{
    QTest::addColumn<Record>("record");
    QTest::addColumn<QByteArray>("expected");

    const Record example;
    QTest::addRow("worked example")
        << example
        << QByteArray("$GPRMC,090605.0,A,3352.500000,S,15104.218750,E,30.94,,140712,,,A*52\n"
                      "$GSENSOR,0.015625,-0.984375,0.125000\n");

    // Only a speed the sensor cannot give brings the checksum's high digit to 0.
    Record lowChecksum;
    lowChecksum.latitude = 33.875;
    lowChecksum.speedKmh = std::numeric_limits<float>::quiet_NaN();
    QTest::addRow("checksum below 0x10")
        << lowChecksum
        << QByteArray("$GPRMC,090605.0,A,3352.500000,N,15104.218750,E,nan,,140712,,,A*0E\n"
                      "$GSENSOR,0.015625,-0.984375,0.125000\n");

    // -0.0 is not below zero: north and east, and never "00-0.000000".
    Record negativeZero;
    negativeZero.latitude = -0.0;
    negativeZero.longitude = -0.0;
    negativeZero.speedKmh = 0;
    QTest::addRow("negative zero")
        << negativeZero
        << QByteArray("$GPRMC,090605.0,A,0000.000000,N,00000.000000,E,0.00,,140712,,,A*7B\n"
                      "$GSENSOR,0.015625,-0.984375,0.125000\n");

    Record westNorth;
    westNorth.latitude = 51.5;
    westNorth.longitude = -0.125;
    westNorth.speedKmh = 1.852f;
    QTest::addRow("north west")
        << westNorth
        << QByteArray("$GPRMC,090605.0,A,5130.000000,N,00007.500000,W,1.00,,140712,,,A*6D\n"
                      "$GSENSOR,0.015625,-0.984375,0.125000\n");

    // recTime is 32 bits: the last second it holds is in 2038.
    Record last;
    last.time = std::numeric_limits<qint32>::max();
    QTest::addRow("2038")
        << last
        << QByteArray("$GPRMC,031407.0,A,3352.500000,S,15104.218750,E,30.94,,190138,,,A*5A\n"
                      "$GSENSOR,0.015625,-0.984375,0.125000\n");

    // A recorder clock that was never set: the date keeps two digits.
    Record unsetClock;
    unsetClock.time = 946684799; // 1999-12-31 23:59:59
    QTest::addRow("1999")
        << unsetClock
        << QByteArray("$GPRMC,235959.0,A,3352.500000,S,15104.218750,E,30.94,,311299,,,A*59\n"
                      "$GSENSOR,0.015625,-0.984375,0.125000\n");
}

void TrackFileTest::writesSentences()
{
    QFETCH(Record, record);
    QFETCH(QByteArray, expected);

    const QByteArray written = readAll(saveTrack({record}));
    QCOMPARE(written, expected);
    QVERIFY(checksumValid(written.left(written.indexOf('\n'))));
}

void TrackFileTest::keepsEveryLineWhole_data()
{
    QTest::addColumn<Record>("record");

    using Float = std::numeric_limits<float>;
    using Double = std::numeric_limits<double>;
    const auto withG = [](float x, float y, float z) {
        Record r;
        r.g[0] = x;
        r.g[1] = y;
        r.g[2] = z;
        return r;
    };
    QTest::addRow("largest floats") << withG(Float::max(), -Float::max(), Float::max());
    QTest::addRow("smallest floats")
        << withG(Float::min(), -Float::denorm_min(), Float::denorm_min());
    QTest::addRow("infinities and NaN")
        << withG(Float::infinity(), -Float::infinity(), Float::quiet_NaN());
    Record huge = withG(-Float::max(), -Float::max(), -Float::max());
    huge.latitude = Double::max();
    huge.longitude = -Double::max();
    huge.speedKmh = Float::max();
    QTest::addRow("huge coordinates and speed") << huge;
    Record odd = withG(-Float::quiet_NaN(), Float::infinity(), -0.0f);
    odd.latitude = Double::infinity();
    odd.longitude = -Double::quiet_NaN();
    odd.speedKmh = -Float::infinity();
    QTest::addRow("coordinates that are no numbers") << odd;
}

// Whatever a damaged chunk holds, each record gives two whole lines, and the next
// sentence starts a line of its own.
void TrackFileTest::keepsEveryLineWhole()
{
    QFETCH(Record, record);

    const QByteArray written = readAll(saveTrack({record, Record(), record}));
    QVERIFY(written.endsWith('\n'));
    const QList<QByteArray> lines = written.chopped(1).split('\n');
    QCOMPARE(lines.size(), 6);
    char gsensor[512];
    std::snprintf(gsensor, sizeof gsensor, "$GSENSOR,%f,%f,%f", double(record.g[0]),
                  double(record.g[1]), double(record.g[2]));
    for (int i = 0; i < lines.size(); i += 2) {
        QVERIFY2(lines[i].startsWith("$GPRMC,") && checksumValid(lines[i]), lines[i].constData());
        QVERIFY(lines[i + 1].startsWith("$GSENSOR,"));
    }
    QCOMPARE(lines[1], QByteArray(gsensor));
    QCOMPARE(lines[5], QByteArray(gsensor));
    QCOMPARE(lines[3], QByteArray("$GSENSOR,0.015625,-0.984375,0.125000"));
}

void TrackFileTest::namesTrackAfterMovie_data()
{
    QTest::addColumn<QString>("movie");
    QTest::addColumn<QString>("track");

    QTest::addRow("upper case") << "FILE0001.AVI"
                                << "FILE0001.gps";
    QTest::addRow("lower case") << "FILE0001.avi"
                                << "FILE0001.gps";
    QTest::addRow("mixed case") << "FILE0001.Avi"
                                << "FILE0001.gps";
    // Without ".avi" the track would take the movie's own name.
    QTest::addRow("other suffix") << "clip.mov"
                                  << "clip.mov.gps";
    QTest::addRow("no suffix") << "clip"
                               << "clip.gps";
}

// The movie lies in the output folder itself: it must survive the track beside it.
void TrackFileTest::namesTrackAfterMovie()
{
    QFETCH(QString, movie);
    QFETCH(QString, track);

    const QByteArray content("RIFF movie content that must stay");
    const QString moviePath = dir.filePath(movie);
    QFile file(moviePath);
    QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    file.write(content);
    file.close();

    saveTrack({Record()}, movie);
    QCOMPARE(readAll(moviePath), content);
    QVERIFY(readAll(dir.filePath(track)).startsWith("$GPRMC,090605.0,"));
    QFile::remove(moviePath);
    QFile::remove(dir.filePath(track));
}

// A movie without records has no time to date its track with; a stale recTime must not
// be used.
void TrackFileTest::trackWithoutRecordsIsEmptyAndUndated()
{
    BLOCKS_g[0].recTime[0] = Start;
    BLOCKS_g[0].recTime[MAX_RECORDS - 1] = Start;
    const qint64 before = QDateTime::currentSecsSinceEpoch();
    const QString path = saveTrack({});
    QCOMPARE(readAll(path), QByteArray());
    QVERIFY(testsupport::modificationTime(path) >= before - 1);
}

void TrackFileTest::datesFile_data()
{
    QTest::addColumn<float>("offsetHours");
    QTest::addColumn<qint64>("modified");

    QTest::addRow("UTC") << 0.0f << qint64(1342256765);
    QTest::addRow("+2 h") << 2.0f << qint64(1342263965);
    QTest::addRow("-3.5 h") << -3.5f << qint64(1342244165);
    QTest::addRow("+5.75 h") << 5.75f << qint64(1342277465);
    // Whatever the settings hold, the shift stays within a day.
    QTest::addRow("1e30 h") << 1e30f << qint64(1342256765 + 86400);
    QTest::addRow("-1e30 h") << -1e30f << qint64(1342256765 - 86400);
    QTest::addRow("NaN h") << std::numeric_limits<float>::quiet_NaN() << qint64(1342256765);
}

void TrackFileTest::datesFile()
{
    QFETCH(float, offsetHours);
    QFETCH(qint64, modified);

    const QString path = dir.filePath("dated.gps");
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    file.close();
    const qint64 accessed = 1300000000;
    QVERIFY(testsupport::setTimes(path, accessed, 1));

    CONF_g.timezoneOffset = offsetHours;
    QVERIFY(window->setFileModificationDate(path, 1342256765));
    QCOMPARE(testsupport::modificationTime(path), modified);
    QCOMPARE(testsupport::accessTime(path), accessed);
}

void TrackFileTest::datingMissingFileFails()
{
    QVERIFY(!window->setFileModificationDate(dir.filePath("missing.gps"), Start));
    QVERIFY(!QFileInfo::exists(dir.filePath("missing.gps")));
}

// What GPSBabel reads from the file: the points of the GPX it converts it to.
QList<Point> TrackFileTest::gpsbabelPoints(const QString &format, const QString &input,
                                           QString &error)
{
    const QString output = dir.filePath("gpsbabel.gpx");
    QProcess babel;
    babel.start(gpsbabel, {"-i", format, "-f", input, "-o", "gpx", "-F", output});
    if (!babel.waitForFinished(60000) || babel.exitStatus() != QProcess::NormalExit ||
        babel.exitCode() != 0) {
        error = "gpsbabel failed: " + babel.readAllStandardError();
        return {};
    }
    QFile file(output);
    file.open(QIODevice::ReadOnly);
    return gpxPoints(xmlElements(file, error));
}

// GPSBabel, as a user would run it on the track: every record comes back with its
// position and time, however large its G values.
void TrackFileTest::gpsbabelReadsTrack()
{
    if (gpsbabel.isEmpty())
        QSKIP("gpsbabel is not installed");

    const double positions[][2] = {
        {-33.875, 151.0703125}, {33.8751, 151.0704}, {-12.5, -77.03125},
        {51.477928, -0.001545}, {0.25, 0.125},       {-89.999, 179.999},
    };
    QList<Record> records;
    for (int i = 0; i < int(std::size(positions)); ++i) {
        Record r;
        r.time = Start + 61 * i; // minutes and seconds change
        r.latitude = positions[i][0];
        r.longitude = positions[i][1];
        // G values of a damaged chunk make long lines that must not hide a point.
        const float extreme = std::numeric_limits<float>::max();
        std::fill(std::begin(r.g), std::end(r.g), i % 2 ? extreme : -extreme);
        records.append(r);
    }
    QString error;
    const QList<Point> points = gpsbabelPoints("nmea", saveTrack(records), error);
    QVERIFY2(error.isEmpty(), qPrintable(error));
    comparePoints(points, pointsOf(records));
}

void TrackFileTest::gpsbabelReadsGpx_data()
{
    QTest::addColumn<QList<Record>>("records");
    QTest::addColumn<QList<Point>>("expected");

    const QList<Record> northEast = drive(48.8583701, 2.2944813, 4);
    QTest::addRow("drive") << northEast << pointsOf(northEast);
    const QList<Record> southWest = drive(-34.6037232, -58.3815931, 3);
    QTest::addRow("south west") << southWest << pointsOf(southWest);
    // The recorder writes 0,0 until it has a fix, and when it loses it.
    QList<Record> gaps = drive(-33.875, 151.0703125, 5);
    for (int i : {0, 2, 4})
        gaps[i].latitude = gaps[i].longitude = 0;
    QTest::addRow("no fix between") << gaps << pointsOf({gaps[1], gaps[3]});

    // Positions off the globe or no numbers come from damaged data; 180 is written -180.
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const double infinity = std::numeric_limits<double>::infinity();
    const QList<Record> edges = {at(90, 180),        at(-90, -180),      at(nan, 1),
                                 at(1, -infinity),   at(90.000001, 1),   at(1, -180.000001),
                                 at(0, 180.0000001), at(0, 179.99999996)};
    QTest::addRow("edges of the globe")
        << edges << QList<Point>{pointOf(at(90, -180)), pointOf(edges[1]), pointOf(at(0, -180))};
}

// GPSBabel reads the GPX with the position and time of every record with a fix.
void TrackFileTest::gpsbabelReadsGpx()
{
    QFETCH(QList<Record>, records);
    QFETCH(QList<Point>, expected);
    if (gpsbabel.isEmpty())
        QSKIP("gpsbabel is not installed");

    QFile file(dir.filePath("FILE0001.gpx"));
    QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    QVERIFY(gpx::writeTrack(blockOf(records), "FILE0001", file) && file.flush());
    QString error;
    const QList<Point> points = gpsbabelPoints("gpx", file.fileName(), error);
    QVERIFY2(error.isEmpty(), qPrintable(error));
    comparePoints(points, expected);
}

void TrackFileTest::gpxFollowsSchemaOutline_data()
{
    QTest::addColumn<QList<Record>>("records");
    QTest::addColumn<QStringList>("speeds"); // m/s of each point to 1 cm/s, empty for none

    QTest::addRow("drive") << driveAt({57.6f, 0, 130}) << QStringList{"16.00", "0.00", "36.11"};
    const float nan = std::numeric_limits<float>::quiet_NaN();
    const float infinity = std::numeric_limits<float>::infinity();
    QTest::addRow("damaged speeds") << driveAt({nan, infinity, -3.6f}) << QStringList{"", "", ""};
    QList<Record> gaps = driveAt({57.3f, 20, 36});
    gaps[1].latitude = gaps[1].longitude = 0;
    QTest::addRow("no fix between") << gaps << QStringList{"15.92", "10.00"};
}

// The elements in the schema's order and namespaces: one track of one segment with a point
// for each fix, its speed in m/s in the Garmin extension.
void TrackFileTest::gpxFollowsSchemaOutline()
{
    QFETCH(QList<Record>, records);
    QFETCH(QStringList, speeds);

    QBuffer document;
    document.setData(gpxOf(records));
    QVERIFY(document.data().startsWith(R"(<?xml version="1.0" encoding="UTF-8"?>)"));
    QVERIFY(document.open(QIODevice::ReadOnly));
    QString error;
    const QList<Element> elements = xmlElements(document, error);
    QVERIFY2(!elements.isEmpty(), qPrintable(error));
    QCOMPARE(elements[0].attributes.value("version"), u"1.1");
    QCOMPARE(elements[0].attributes.value("creator"), "BRIGHTQUILL 4400 Converter " + VERSION_g);

    const QString extension = " http://www.garmin.com/xmlschemas/TrackPointExtension/v2";
    QStringList expected = {"gpx",     "gpx/metadata",          "gpx/metadata/time",
                            "gpx/trk", "gpx/trk/name FILE0001", "gpx/trk/trkseg"};
    const QString point = "gpx/trk/trkseg/trkpt";
    for (const QString &speed : speeds) {
        expected << point << point + "/time";
        if (!speed.isEmpty())
            expected << point + "/extensions"
                     << point + "/extensions/TrackPointExtension" + extension
                     << point + "/extensions/TrackPointExtension/speed" + extension + ' ' + speed;
    }
    QStringList outline;
    for (const Element &e : elements) {
        QString entry = e.path;
        if (e.namespaceUri != u"http://www.topografix.com/GPX/1/1")
            entry += ' ' + e.namespaceUri;
        if (e.path.endsWith("/name"))
            entry += ' ' + e.text;
        if (e.path.endsWith("/speed"))
            entry += ' ' + QString::number(e.text.toDouble(), 'f', 2);
        outline << entry;
    }
    QCOMPARE(outline, expected);
}

void TrackFileTest::gpxNeedsAFix_data()
{
    QTest::addColumn<QList<Record>>("records");
    QTest::addColumn<bool>("hasPoints");

    QTest::addRow("no records") << QList<Record>() << false;
    QList<Record> noFix = drive(0, 0, 3);
    for (Record &r : noFix)
        r.latitude = r.longitude = 0;
    QTest::addRow("no fix") << noFix << false;
    QList<Record> damaged = drive(-33.875, 151.0703125, 2);
    damaged[0].latitude = std::numeric_limits<double>::quiet_NaN();
    damaged[1].longitude = 200;
    QTest::addRow("damaged positions") << damaged << false;
    noFix[2] = Record();
    QTest::addRow("fix in the last record") << noFix << true;
}

// Only a record with a fix makes a GPX worth writing, and a fix in a record past
// the movie's last must not count.
void TrackFileTest::gpxNeedsAFix()
{
    QFETCH(QList<Record>, records);
    QFETCH(bool, hasPoints);

    setRecord(BLOCKS_g[0], int(records.size()), Record());
    const s_BLOCK &block = blockOf(records);
    QCOMPARE(gpx::hasPoints(block), hasPoints);
    QCOMPARE(gpxOf(records).count("<trkpt "), hasPoints ? 1 : 0);
}

// A disk that fills while the GPX is written.
void TrackFileTest::gpxReportsFullDevice()
{
    QFile full("/dev/full");
    if (!full.open(QIODevice::WriteOnly | QIODevice::Unbuffered))
        QSKIP("no /dev/full here");
    QVERIFY(!gpx::writeTrack(blockOf({Record()}), "FILE0001", full));
}

// The drive movie's text, second by second: the local time (the offset applied), the
// speed in whole km/h and the position, or what stands for a value no recorder gives.
void TrackFileTest::driveMovieTextSaysEachRecord_data()
{
    QTest::addColumn<Record>("record");
    QTest::addColumn<long>("offset");
    QTest::addColumn<QString>("text");
    Record south;
    south.speedKmh = 51.5f;
    QTest::newRow("south and east, two hours east of UTC")
        << south << 7200L << "2012-07-14 11:06:05   52 km/h   33.87500° S  151.07031° E";
    Record west = at(48.1, -122.00002);
    west.speedKmh = 0.4f;
    QTest::newRow("north and west, UTC")
        << west << 0L << "2012-07-14 09:06:05   0 km/h   48.10000° N  122.00002° W";
    QTest::newRow("no fix, the day before")
        << at(0, 0) << -36000L << "2012-07-13 23:06:05   57 km/h   no GPS fix";
    Record nonsense = at(std::nan(""), 10);
    nonsense.speedKmh = 401;
    QTest::newRow("speed and position no recorder gives")
        << nonsense << 0L << "2012-07-14 09:06:05   --   --";
    Record offTheGlobe = at(12, 181);
    offTheGlobe.speedKmh = -std::numeric_limits<float>::infinity();
    QTest::newRow("off the globe, speed no number")
        << offTheGlobe << 0L << "2012-07-14 09:06:05   --   --";
}

void TrackFileTest::driveMovieTextSaysEachRecord()
{
    QFETCH(Record, record);
    QFETCH(long, offset);
    QFETCH(QString, text);
    Record next = record;
    next.time += 1;
    const s_BLOCK &block = blockOf({record, next, next});

    const QString subtitles = QString::fromUtf8(driveoverlay::subtitles(block, offset));

    // Each record shows during its own second of the movie, the first from the start.
    const QStringList lines = subtitles.split('\n').filter(QRegularExpression("^Dialogue: "));
    QCOMPARE(lines.size(), 3);
    QCOMPARE(lines[0], "Dialogue: 0,0:00:00.00,0:00:01.00,Drive,,0,0,0,," + text);
    QVERIFY(lines[2].startsWith("Dialogue: 0,0:00:02.00,0:00:03.00,Drive,,0,0,0,,"));
    QCOMPARE(driveoverlay::subtitles(blockOf({}), offset), QByteArray());
}

QTEST_MAIN(TrackFileTest)
#include "tst_trackfile.moc"
