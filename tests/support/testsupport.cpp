#include "testsupport.h"

#include "ffmpegcommand.h"
#include "globals.h"
#include "mainwindow.h"

#include <QApplication>
#include <QCoreApplication>
#include <QDir>
#include <QDragEnterEvent>
#include <QFile>
#include <QFileDialog>
#include <QFileInfo>
#include <QImage>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLineEdit>
#include <QMessageBox>
#include <QMimeData>
#include <QPointer>
#include <QProcess>
#include <QProgressDialog>
#include <QPushButton>
#include <QRegularExpression>
#include <QSettings>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTimer>
#include <QtEndian>
#include <QtTest>

#include <cmath>
#include <deque>

#include <sys/stat.h>
#include <utime.h>

namespace testsupport {

QString systemTool(const QString &name)
{
    return QStandardPaths::findExecutable(name);
}

void removeFfmpegBesideApp()
{
    QFile::remove(ffmpegProgram());
    QDir beside(QCoreApplication::applicationDirPath());
    for (const QString &recorded : beside.entryList({"args-*"}, QDir::Files | QDir::Hidden))
        beside.remove(recorded);
}

bool linkFfmpegBesideApp()
{
    removeFfmpegBesideApp();
    const QString ffmpeg = systemTool("ffmpeg");
    return !ffmpeg.isEmpty() && QFile::link(ffmpeg, ffmpegProgram());
}

bool replaceFfmpegBesideApp(const QByteArray &content, bool executable)
{
    removeFfmpegBesideApp();
    QFile file(ffmpegProgram());
    if (!file.open(QIODevice::WriteOnly) || file.write(content) != content.size())
        return false;
    file.close();
    const auto readWrite = QFile::ReadOwner | QFile::WriteOwner;
    return file.setPermissions(executable ? readWrite | QFile::ExeOwner : readWrite);
}

namespace {

struct PendingAnswer
{
    const QMetaObject *type;
    std::function<void(QWidget *)> answer;
    std::shared_ptr<bool> done;
};

// Answers go to dialogs in the order they were queued, one dialog each, so that a
// test can queue the answers for a whole sequence of dialogs up front.
std::deque<PendingAnswer> &pendingAnswers()
{
    static std::deque<PendingAnswer> queue;
    return queue;
}

void answerWaitingDialog()
{
    auto &queue = pendingAnswers();
    QWidget *dialog = QApplication::activeModalWidget();
    // The progress dialog is modal too: only a dialog of the wanted class is answered.
    if (queue.empty() || !dialog || !dialog->isVisible() || !queue.front().type->cast(dialog) ||
        dialog->property("answeredByTest").toBool())
        return;
    const PendingAnswer next = queue.front();
    queue.pop_front();
    dialog->setProperty("answeredByTest", true);
    next.answer(dialog);
    *next.done = true;
}

} // namespace

QByteArray argumentRecordingFfmpeg(double sleepSeconds)
{
    return QString("#!/bin/sh\n"
                   "for last; do :; done\n"
                   "printf '%s\\n' \"$@\" > \"$(dirname \"$0\")/args-$(basename \"$last\")\"\n"
                   "sleep %1\n"
                   "echo output > \"$last\"\n")
        .arg(sleepSeconds)
        .toUtf8();
}

QByteArray failingFfmpeg()
{
    return "#!/bin/sh\n"
           "for last; do :; done\n"
           "printf half > \"$last\"\n"
           "echo 'av_interleaved_write_frame(): No space left on device' >&2\n"
           "echo 'Conversion failed!' >&2\n"
           "exit 1\n";
}

QByteArray hangingFfmpeg()
{
    return "#!/bin/sh\n"
           "for last; do :; done\n"
           "printf half > \"$last\"\n"
           "exec sleep 60\n";
}

bool processStatus(int pid, ProcessStatus &status)
{
    QFile stat(QString("/proc/%1/stat").arg(pid));
    if (!stat.open(QIODevice::ReadOnly))
        return false;
    // pid (name) state ppid ...: the name may hold blanks, so read after its ')'.
    const QByteArray line = stat.readAll();
    const qsizetype open = line.indexOf('(');
    const qsizetype close = line.lastIndexOf(')');
    const QList<QByteArray> fields = line.mid(close + 2).split(' ');
    if (open < 0 || close < open || fields.size() < 2 || fields[0].isEmpty())
        return false;
    status = {line.mid(open + 1, close - open - 1), fields[0][0], fields[1].toInt()};
    return true;
}

QList<int> childProcesses()
{
    QList<int> children;
    const int self = int(QCoreApplication::applicationPid());
    for (const QString &entry : QDir("/proc").entryList(QDir::Dirs)) {
        ProcessStatus status;
        const int pid = entry.toInt();
        if (pid > 0 && processStatus(pid, status) && status.state != 'Z' && status.parent == self)
            children << pid;
    }
    return children;
}

bool writeFile(const QString &path, const QByteArray &content)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(content) == content.size() && file.flush();
}

QString readFile(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? QString::fromUtf8(file.readAll()) : QString();
}

QStringList filesIn(const QString &folder)
{
    return QDir(folder).entryList(QDir::Files | QDir::Hidden | QDir::System, QDir::Name);
}

static QRegularExpression partialName(const QString &output)
{
    const QFileInfo info(output);
    return QRegularExpression("^\\." + QRegularExpression::escape(info.completeBaseName()) +
                              "\\.partial-[A-Za-z0-9]{6}\\." +
                              QRegularExpression::escape(info.suffix()) + '$');
}

bool isPartialOf(const QString &path, const QString &output)
{
    const QFileInfo info(path);
    return info.path() == QFileInfo(output).path() &&
           partialName(output).match(info.fileName()).hasMatch();
}

QString partialOf(const QString &output)
{
    const QString folder = QFileInfo(output).path();
    const QStringList found = filesIn(folder).filter(partialName(output));
    return found.size() == 1 ? folder + '/' + found[0] : QString();
}

QStringList recordedFfmpegArguments(const QString &output)
{
    // The stand-in names what it records after the file it writes.
    const QDir beside(QCoreApplication::applicationDirPath());
    const QStringList recorded = beside.entryList({"args-*"}, QDir::Files | QDir::Hidden)
                                     .replaceInStrings(QRegularExpression("^args-"), {})
                                     .filter(partialName(output));
    QFile file(beside.filePath("args-" + recorded.value(0)));
    if (recorded.size() != 1 || !file.open(QIODevice::ReadOnly))
        return {};
    return QString::fromUtf8(file.readAll()).split('\n', Qt::SkipEmptyParts);
}

std::shared_ptr<bool> answerNextDialog(const QMetaObject &type,
                                       std::function<void(QWidget *)> answer)
{
    static QTimer *poller = nullptr;
    if (!poller) {
        poller = new QTimer(qApp);
        poller->setInterval(5);
        QObject::connect(poller, &QTimer::timeout, poller, answerWaitingDialog);
        poller->start();
    }
    auto done = std::make_shared<bool>(false);
    pendingAnswers().push_back({&type, std::move(answer), done});
    return done;
}

void forgetPendingAnswers()
{
    pendingAnswers().clear();
}

std::shared_ptr<bool> chooseInNextFileDialog(const QString &path)
{
    return answerNextDialog(QFileDialog::staticMetaObject, [path](QWidget *widget) {
        auto *dialog = static_cast<QFileDialog *>(widget);
        // accept() is protected: fill the name field and accept as the user would.
        dialog->findChild<QLineEdit *>("fileNameEdit")->setText(path);
        QMetaObject::invokeMethod(dialog, "accept", Qt::QueuedConnection);
    });
}

std::shared_ptr<bool> cancelNextFileDialog()
{
    return answerNextDialog(QFileDialog::staticMetaObject, [](QWidget *dialog) {
        QMetaObject::invokeMethod(dialog, "reject", Qt::QueuedConnection);
    });
}

std::shared_ptr<bool> closeNextMessageBox(QString *title, QString *text)
{
    return answerNextDialog(QMessageBox::staticMetaObject, [title, text](QWidget *widget) {
        auto *box = static_cast<QMessageBox *>(widget);
        if (title)
            *title = box->windowTitle();
        if (text)
            *text = box->text();
        QMetaObject::invokeMethod(box->button(QMessageBox::Ok), "click", Qt::QueuedConnection);
    });
}

QProgressDialog *progressWindow()
{
    for (QWidget *widget : QApplication::topLevelWidgets())
        if (auto *dialog = qobject_cast<QProgressDialog *>(widget))
            return dialog;
    return nullptr;
}

MessageBoxRecorder::MessageBoxRecorder()
{
    qApp->installEventFilter(this);
}

MessageBoxRecorder::~MessageBoxRecorder()
{
    qApp->removeEventFilter(this);
}

bool MessageBoxRecorder::eventFilter(QObject *watched, QEvent *event)
{
    auto *box = qobject_cast<QMessageBox *>(watched);
    if (box && event->type() == QEvent::Show) {
        titles << box->windowTitle();
        texts << box->text();
        QPointer<QAbstractButton> ok = box->button(QMessageBox::Ok);
        QTimer::singleShot(0, box, [ok] {
            if (ok)
                ok->click();
        });
    }
    return false;
}

bool startWindowBatch(MainWindow &window, const QStringList &movies, const QString &output)
{
    for (int i = 0; i < movies.size(); ++i)
        BLOCKS_g[i].movieFile = QFileInfo(movies[i]);
    nBlocks_g = int(movies.size());
    window.retrieveData();
    const auto chosen = chooseInNextFileDialog(output);
    window.startConversion();
    return *chosen;
}

bool dropUrls(QWidget &target, const QList<QUrl> &urls, bool *enterAccepted)
{
    QMimeData data;
    data.setUrls(urls);
    const QPoint at = target.rect().center();
    QDragEnterEvent enter(at, Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
    QCoreApplication::sendEvent(&target, &enter);
    if (enterAccepted)
        *enterAccepted = enter.isAccepted();
    if (!enter.isAccepted())
        return false;
    QDropEvent drop(at, Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
    QCoreApplication::sendEvent(&target, &drop);
    return drop.isAccepted();
}

// What ffprobe shows of a file (e.g. "-show_streams"), as JSON; empty if it cannot read it.
static QJsonObject ffprobeJson(const QString &path, const QString &show)
{
    QProcess probe;
    probe.start(systemTool("ffprobe"),
                {"-v", "error", show, "-of", "json", QDir::toNativeSeparators(path)});
    if (!probe.waitForFinished(60000) || probe.exitCode() != 0)
        return {};
    return QJsonDocument::fromJson(probe.readAllStandardOutput()).object();
}

// The streams of a file as ffprobe lists them; empty if it cannot read the file.
static QJsonArray ffprobeStreams(const QString &path)
{
    return ffprobeJson(path, "-show_streams").value("streams").toArray();
}

QStringList probeStreams(const QString &path)
{
    QStringList streams;
    for (const QJsonValue &value : ffprobeStreams(path)) {
        const QJsonObject stream = value.toObject();
        QString entry =
            stream.value("codec_type").toString() + ':' + stream.value("codec_name").toString();
        if (stream.value("codec_type").toString() == "video")
            entry += QString(":%1x%2")
                         .arg(stream.value("width").toInt())
                         .arg(stream.value("height").toInt());
        streams << entry;
    }
    return streams;
}

// What a tool prints on its standard output; empty if it fails.
static QByteArray outputOf(const QString &tool, const QStringList &arguments)
{
    QProcess process;
    process.start(systemTool(tool), arguments);
    if (!process.waitForFinished(120000) || process.exitStatus() != QProcess::NormalExit ||
        process.exitCode() != 0)
        return {};
    return process.readAllStandardOutput();
}

QList<AudioStream> probeAudioStreams(const QString &path)
{
    QList<AudioStream> streams;
    for (const QJsonValue &value : ffprobeStreams(path)) {
        const QJsonObject stream = value.toObject();
        if (stream.value("codec_type").toString() != "audio")
            continue;
        const int rate = stream.value("sample_rate").toString().toInt();
        bool known = false;
        double seconds = stream.value("duration").toString().toDouble(&known);
        if (!known && rate > 0) // PCM in AVI tells no duration: its samples do
            seconds = double(outputOf("ffmpeg", {"-v", "error", "-i", path, "-map",
                                                 QString("0:%1").arg(stream.value("index").toInt()),
                                                 "-f", "s16le", "-ac", "1", "-"})
                                 .size()) /
                      2 / rate;
        streams << AudioStream{rate, stream.value("channels").toInt(), seconds};
    }
    return streams;
}

QMap<QString, QString> exifTags(const QString &path)
{
    QProcess exiftool;
    exiftool.start(systemTool("exiftool"), {"-j", "-G1", "-a", "-c", "%+.6f", path});
    QMap<QString, QString> tags;
    if (!exiftool.waitForFinished(60000) || exiftool.exitCode() != 0)
        return tags;
    const QJsonObject found =
        QJsonDocument::fromJson(exiftool.readAllStandardOutput()).array().first().toObject();
    for (auto tag = found.begin(); tag != found.end(); ++tag)
        tags.insert(tag.key(), tag.value().toVariant().toString());
    return tags;
}

QString probeVideoProfile(const QString &path)
{
    for (const QJsonValue &value : ffprobeStreams(path)) {
        const QJsonObject stream = value.toObject();
        if (stream.value("codec_type").toString() == "video")
            return stream.value("profile").toString() + ' ' + stream.value("pix_fmt").toString();
    }
    return {};
}

QStringList topLevelBoxes(const QString &path)
{
    QFile file(path);
    QStringList boxes;
    if (!file.open(QIODevice::ReadOnly))
        return boxes;
    for (qint64 at = 0; file.seek(at);) {
        const QByteArray header = file.read(16);
        if (header.size() < 8)
            break;
        quint64 size = qFromBigEndian<quint32>(header.constData());
        if (size == 1 && header.size() == 16) // a 64-bit size follows the type
            size = qFromBigEndian<quint64>(header.constData() + 8);
        boxes << QString::fromLatin1(header.mid(4, 4));
        if (size < 8)
            break;
        at += qint64(size);
    }
    return boxes;
}

QList<ProbedChapter> probeChapters(const QString &path)
{
    QList<ProbedChapter> chapters;
    for (const QJsonValue &value :
         ffprobeJson(path, "-show_chapters").value("chapters").toArray()) {
        const QJsonObject chapter = value.toObject();
        chapters << ProbedChapter{chapter.value("tags").toObject().value("title").toString(),
                                  chapter.value("start_time").toString().toDouble(),
                                  chapter.value("end_time").toString().toDouble()};
    }
    return chapters;
}

std::optional<double> mediaDurationSeconds(const QString &path)
{
    bool isNumber = false;
    // "N/A" when the movie does not tell its duration.
    const double seconds = ffprobeJson(path, "-show_format")
                               .value("format")
                               .toObject()
                               .value("duration")
                               .toString()
                               .toDouble(&isNumber);
    return isNumber ? std::optional<double>(seconds) : std::nullopt;
}

// The times of the first bright frame of each run of bright frames.
static QList<double> brightFrames(const QString &movie)
{
    const QByteArray stats =
        outputOf("ffmpeg", {"-v", "error", "-nostdin", "-i", movie, "-map", "0:v:0", "-vf",
                            "signalstats,metadata=mode=print:key=lavfi.signalstats.YAVG:file=-",
                            "-f", "null", "-"});
    static const QRegularExpression frameTime("pts_time:(\\S+)");
    QList<double> times;
    double time = 0;
    bool wasBright = false;
    for (const QByteArray &line : stats.split('\n')) {
        if (line.startsWith("frame:")) {
            time = frameTime.match(QString::fromLatin1(line)).captured(1).toDouble();
        } else if (line.startsWith("lavfi.signalstats.YAVG=")) {
            const bool bright = line.mid(line.indexOf('=') + 1).toDouble() > 200;
            if (bright && !wasBright)
                times << time;
            wasBright = bright;
        }
    }
    return times;
}

// The times of the first loud sample of each burst, on the clock of the frames' times.
static QList<double> loudSounds(const QString &movie)
{
    const double formatStart = ffprobeJson(movie, "-show_format")
                                   .value("format")
                                   .toObject()
                                   .value("start_time")
                                   .toString()
                                   .toDouble();
    double audioStart = 0;
    for (const QJsonValue &value : ffprobeStreams(movie))
        if (value.toObject().value("codec_type").toString() == "audio")
            audioStart = value.toObject().value("start_time").toString().toDouble();
    constexpr int Rate = 8000;
    const QByteArray pcm =
        outputOf("ffmpeg", {"-v", "error", "-nostdin", "-i", movie, "-map", "0:a:0", "-f", "s16le",
                            "-ac", "1", "-ar", QString::number(Rate), "-"});
    QList<double> times;
    for (qsizetype n = 0; n < pcm.size() / 2;) {
        if (std::abs(int(qFromLittleEndian<qint16>(pcm.constData() + 2 * n))) > 6000) {
            times << audioStart - formatStart + double(n) / Rate;
            n += Rate * 3 / 10; // past the burst and its codec's ringing
        } else {
            ++n;
        }
    }
    return times;
}

QList<double> avSyncOffsets(const QString &movie)
{
    const QList<double> pictures = brightFrames(movie);
    const QList<double> sounds = loudSounds(movie);
    QList<double> offsets;
    if (pictures.size() != sounds.size())
        return offsets;
    for (qsizetype i = 0; i < pictures.size(); ++i)
        offsets << sounds[i] - pictures[i];
    return offsets;
}

QImage frameAt(const QString &movie, double seconds)
{
    return QImage::fromData(
        outputOf("ffmpeg", {"-v", "error", "-nostdin", "-ss", QString::number(seconds), "-i", movie,
                            "-frames:v", "1", "-f", "image2pipe", "-vcodec", "png", "-"}));
}

QByteArray decodingErrors(const QString &path)
{
    QProcess ffmpeg;
    ffmpeg.start(systemTool("ffmpeg"), {"-v", "error", "-i", path, "-f", "null", "-"});
    if (!ffmpeg.waitForFinished(120000))
        return "ffmpeg did not finish";
    QByteArray errors = ffmpeg.readAllStandardError();
    if (ffmpeg.exitStatus() != QProcess::NormalExit || ffmpeg.exitCode() != 0)
        errors += "ffmpeg failed";
    return errors;
}

static bool fileStatus(const QString &path, struct stat &status)
{
    return stat(QFile::encodeName(path).constData(), &status) == 0;
}

qint64 modificationTime(const QString &path)
{
    struct stat status;
    return fileStatus(path, status) ? qint64(status.st_mtime) : -1;
}

qint64 accessTime(const QString &path)
{
    struct stat status;
    return fileStatus(path, status) ? qint64(status.st_atime) : -1;
}

bool setTimes(const QString &path, qint64 access, qint64 modification)
{
    struct utimbuf times;
    times.actime = time_t(access);
    times.modtime = time_t(modification);
    return utime(QFile::encodeName(path).constData(), &times) == 0;
}

// The settings store of this test process: a folder of its own, set before the first
// settings object fixes the store's path, so that a test run by hand never touches the
// developer's own settings and tests run side by side never touch each other's.
static void isolateSettingsStore()
{
    static QTemporaryDir configHome;
    qputenv("XDG_CONFIG_HOME", QFile::encodeName(configHome.path()));
}

void makeTestFolders(const QString &root, QString &movies, QString &output)
{
    const QString tag = QTest::currentDataTag() ? QString("-") + QTest::currentDataTag() : "";
    movies = root + "/movies-" + QTest::currentTestFunction() + tag;
    output = root + "/output-" + QTest::currentTestFunction() + tag;
    QDir().mkpath(movies);
    QDir().mkpath(output);
}

void resetProgramState()
{
    isolateSettingsStore();
    // The names main() gives the application; default-constructed settings use them.
    QCoreApplication::setApplicationName(QSETTINGS_APP_NAME_g);
    QCoreApplication::setOrganizationName(APP_COMPANY_g);
    QCoreApplication::setOrganizationDomain(APP_DOMAIN_g);
    forgetPendingAnswers();
    QSettings settings(APP_COMPANY_g, QSETTINGS_APP_NAME_g);
    settings.clear();
    settings.sync();
    CONF_g = s_CONF{};
    nBlocks_g = 0;
}

} // namespace testsupport
