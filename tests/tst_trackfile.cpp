// The NMEA track file written beside the converted movies: its exact sentences, its
// name, its date, and that GPSBabel reads it back.

#include "globals.h"
#include "mainwindow.h"
#include "testsupport.h"

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

private:
    QString saveTrack(const QList<Record> &records, const QString &movieName = "FILE0001.AVI");

    QTemporaryDir dir;
    std::unique_ptr<MainWindow> window;
};

void TrackFileTest::initTestCase()
{
    QVERIFY(dir.isValid());
    testsupport::resetProgramState();
    window = std::make_unique<MainWindow>();
}

void TrackFileTest::init()
{
    CONF_g.outputDirectory = dir.path() + '/';
    CONF_g.timezoneOffset = 0;
}

// Saves the records as block 0's track and returns the track's path.
QString TrackFileTest::saveTrack(const QList<Record> &records, const QString &movieName)
{
    s_BLOCK &block = BLOCKS_g[0];
    block.movieFile = QFileInfo(dir.filePath(movieName));
    block.nRecords = int(records.size());
    for (int i = 0; i < records.size(); ++i)
        setRecord(block, i, records[i]);
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

// GPSBabel, as a user would run it on the track: every record comes back with its
// position and time, however large its G values.
void TrackFileTest::gpsbabelReadsTrack()
{
    const QString gpsbabel = QStandardPaths::findExecutable("gpsbabel");
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
    const QString track = saveTrack(records);
    const QString gpx = dir.filePath("track.gpx");
    QProcess babel;
    babel.start(gpsbabel, {"-i", "nmea", "-f", track, "-o", "gpx", "-F", gpx});
    QVERIFY(babel.waitForFinished(60000));
    QVERIFY2(babel.exitStatus() == QProcess::NormalExit && babel.exitCode() == 0,
             babel.readAllStandardError().constData());

    QFile file(gpx);
    QVERIFY(file.open(QIODevice::ReadOnly));
    QXmlStreamReader xml(&file);
    int point = -1;
    while (!xml.atEnd()) {
        if (xml.readNext() != QXmlStreamReader::StartElement)
            continue;
        if (xml.name() == u"trkpt" || xml.name() == u"wpt") {
            ++point;
            QVERIFY(point < records.size());
            const QXmlStreamAttributes attributes = xml.attributes();
            QVERIFY(std::fabs(attributes.value("lat").toDouble() - records[point].latitude) < 1e-6);
            QVERIFY(std::fabs(attributes.value("lon").toDouble() - records[point].longitude) <
                    1e-6);
        } else if (xml.name() == u"time" && point >= 0) {
            const QDateTime time = QDateTime::fromString(xml.readElementText(), Qt::ISODateWithMs);
            QCOMPARE(time.timeSpec(), Qt::UTC);
            QCOMPARE(time.toSecsSinceEpoch(), qint64(records[point].time));
        }
    }
    QVERIFY2(!xml.hasError(), qPrintable(xml.errorString()));
    QCOMPARE(point + 1, records.size());
}

QTEST_MAIN(TrackFileTest)
#include "tst_trackfile.moc"
