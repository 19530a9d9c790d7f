#include "commandline.h"

#include "globals.h"

#include <QCommandLineParser>
#include <QDir>
#include <QSettings>

#include <cmath>

namespace {

// The options that set the conversion, as GNU tools name theirs.
const QString Output = QStringLiteral("output");
const QString Format = QStringLiteral("format");
const QString Bitrate = QStringLiteral("bitrate");
const QString UtcOffset = QStringLiteral("utc-offset");
const QString Codec = QStringLiteral("codec");
const QString Gpx = QStringLiteral("gpx");
const QString Place = QStringLiteral("place");
const QString Trips = QStringLiteral("trips");
const QString DriveMovie = QStringLiteral("drive-movie");
const QString SkipConverted = QStringLiteral("skip-converted");
const QString UseSaved = QStringLiteral("use-saved-settings");
const QString Quiet = QStringLiteral("quiet");

constexpr double MaxOffsetHours = 24; // the same bound as the file dates'

QCommandLineOption valueOption(const QString &name, const QString &description,
                               const QString &valueName)
{
    return QCommandLineOption(name, description, valueName);
}

// --NAME and --no-NAME.
QList<QCommandLineOption> flagOptions(const QString &name, const QString &on, const QString &off)
{
    return {QCommandLineOption(name, on), QCommandLineOption("no-" + name, off)};
}

} // namespace

CommandLine::CommandLine() : parser(std::make_unique<QCommandLineParser>())
{
    parser->setApplicationDescription(
        "Converts the movies of a BRIGHTQUILL 4400 dual-camera dash recorder, as the "
        "converter's window does: a front and a rear movie and a GPS track for each AVI "
        "movie, and for each folder its AVI movies, oldest first.\n"
        "Without options the settings are those of a first start (MP4, MPEG-4, 7 Mbit/s, "
        "the computer's UTC offset, GPX and place on, trips and drive movies off), whatever the "
        "window saved.");
    parser->addHelpOption();
    parser->addVersionOption();
    parser->addOption(QCommandLineOption(
        {"o", Output}, "The folder the results go to (it must exist).", "folder"));
    parser->addOption(valueOption(Format,
                                  "mp4: both cameras encoded again (default); avi: the video "
                                  "copied unchanged.",
                                  "mp4|avi"));
    parser->addOption(
        valueOption(Bitrate, "The MP4 video bitrate: auto (7, default) or Mbit/s.", "auto|mbits"));
    parser->addOption(valueOption(UtcOffset,
                                  "Hours added to the recorder's UTC clock when files are "
                                  "dated, e.g. 2 or -3.5 (default: the computer's offset).",
                                  "hours"));
    parser->addOption(
        valueOption(Codec, "The video codec of MP4 movies (default: mpeg4).", "mpeg4|h264"));
    parser->addOptions(flagOptions(Gpx, "Also write a GPX track beside each .gps (default).",
                                   "Write no GPX track."));
    parser->addOptions(flagOptions(Place,
                                   "Write the drive's first position into MP4 movies "
                                   "(default).",
                                   "Write no position into movies."));
    parser->addOptions(flagOptions(
        Trips, "Join consecutive clips into one movie per camera and one track per drive.",
        "Join no trips (default)."));
    parser->addOptions(flagOptions(DriveMovie,
                                   "Also make a drive movie (NAMEFR.mp4): both cameras with "
                                   "the time, speed and place.",
                                   "Make no drive movie (default)."));
    parser->addOptions(flagOptions(SkipConverted,
                                   "Skip the movies whose outputs in the output folder were "
                                   "made from them with these settings and are unchanged.",
                                   "Convert every movie (default)."));
    parser->addOption(QCommandLineOption(
        UseSaved, "Start from the settings the window saved, not from a first start's."));
    parser->addOption(QCommandLineOption({"q", Quiet}, "Print only failures."));
    parser->addPositionalArgument("movies", "AVI movies and folders of AVI movies.",
                                  "MOVIE_OR_FOLDER...");
}

CommandLine::~CommandLine() = default;

bool CommandLine::parse(const QCoreApplication &app, ConversionRequest &request, QString &error)
{
    if (!parser->parse(app.arguments())) {
        error = parser->errorText();
        return false;
    }
    if (parser->isSet("help"))
        parser->showHelp(0);
    if (parser->isSet("version"))
        parser->showVersion();
    request.inputs = parser->positionalArguments();
    request.quiet = parser->isSet(Quiet);
    // An empty name (`-o "$UNSET"`) would be the current folder, which nobody chose.
    if (parser->value(Output).isEmpty())
        error = "no output folder: give one with -o FOLDER";
    else if (request.inputs.isEmpty())
        error = "no movie or folder to convert";
    if (!error.isEmpty() || !readSettings(request, error))
        return false;
    QString folder = QDir(parser->value(Output)).absolutePath();
    if (!folder.endsWith('/'))
        folder += '/';
    request.conf.outputDirectory = folder;
    return true;
}

bool CommandLine::readSettings(ConversionRequest &request, QString &error) const
{
    s_CONF &conf = request.conf;
    conf = firstStartConfiguration();
    if (parser->isSet(UseSaved)) {
        QSettings saved(APP_COMPANY_g, QSETTINGS_APP_NAME_g);
        readConfiguration(saved, conf);
    }
    const QString format = parser->value(Format);
    if (format == "mp4" || format == "avi")
        conf.movieFormat = format == "avi" ? 1 : 0;
    else if (parser->isSet(Format))
        error = QString("--format takes mp4 or avi, not '%1'").arg(format);
    const QString bitrate = parser->value(Bitrate);
    bool isNumber = false;
    const double mbits = bitrate.toDouble(&isNumber);
    if (bitrate == "auto")
        conf.autoBitrate = true;
    else if (isNumber && mbits > 0 && std::isfinite(mbits)) {
        conf.autoBitrate = false;
        conf.bitrate = float(mbits);
    } else if (parser->isSet(Bitrate))
        error = QString("--bitrate takes auto or a number of Mbit/s, not '%1'").arg(bitrate);
    const QString offset = parser->value(UtcOffset);
    const double hours = offset.toDouble(&isNumber);
    if (isNumber && std::abs(hours) <= MaxOffsetHours)
        conf.timezoneOffset = float(hours);
    else if (parser->isSet(UtcOffset))
        error = QString("--utc-offset takes hours from -24 to 24, not '%1'").arg(offset);
    const QString codec = parser->value(Codec);
    if (codec == "mpeg4" || codec == "h264")
        conf.videoCodec = codec;
    else if (parser->isSet(Codec))
        error = QString("--codec takes mpeg4 or h264, not '%1'").arg(codec);
    conf.gpxTrack = flag(Gpx, conf.gpxTrack, error);
    conf.placeInMovies = flag(Place, conf.placeInMovies, error);
    conf.joinTrips = flag(Trips, conf.joinTrips, error);
    conf.driveMovie = flag(DriveMovie, conf.driveMovie, error);
    conf.skipConverted = flag(SkipConverted, conf.skipConverted, error);
    return error.isEmpty();
}

bool CommandLine::flag(const QString &name, bool current, QString &error) const
{
    const bool on = parser->isSet(name);
    const bool off = parser->isSet("no-" + name);
    if (on && off && error.isEmpty())
        error = QString("--%1 and --no-%1 contradict each other").arg(name);
    return on ? true : off ? false : current;
}
