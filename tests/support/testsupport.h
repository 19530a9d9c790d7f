#pragma once

#include <QMap>
#include <QObject>
#include <QString>
#include <QStringList>
#include <QUrl>

#include <functional>
#include <memory>
#include <optional>

class QImage;
class QProgressDialog;
class QWidget;
class MainWindow;

namespace testsupport {

// Path of the real ffmpeg (or ffprobe) on this machine; empty when missing.
QString systemTool(const QString &name);

// The program runs the ffmpeg beside its executable: make that a link to the real one.
bool linkFfmpegBesideApp();
// Puts a plain file there instead (no link), for tests of a broken ffmpeg.
bool replaceFfmpegBesideApp(const QByteArray &content, bool executable);
// Removes it, and the arguments a stand-in recorded.
void removeFfmpegBesideApp();
// A stand-in for ffmpeg that records its arguments beside itself, sleeps if asked, and
// writes the output file it is given, as the real one would; and what it recorded for
// the job whose final output is `output` (what the stand-in in place recorded only).
QByteArray argumentRecordingFfmpeg(double sleepSeconds = 0);
QStringList recordedFfmpegArguments(const QString &output);
// Whether `path` is a file the converter writes before `output` is complete: hidden, in
// the same folder, named after it with six random letters or digits
// (".aF.partial-Ab3xYz.mp4").
bool isPartialOf(const QString &path, const QString &output);
// The one such file in the output's folder, or an empty string.
QString partialOf(const QString &output);
// A stand-in that writes part of its output, reports a full disk and fails.
QByteArray failingFfmpeg();
// A stand-in that writes part of its output and waits to be killed.
QByteArray hangingFfmpeg();

// A process as /proc/<pid>/stat describes it; false once it has gone.
struct ProcessStatus
{
    QByteArray name;
    char state = 0; // 'Z' for a zombie
    int parent = 0;
};
bool processStatus(int pid, ProcessStatus &status);

// Live (not zombie) child processes of this process.
QList<int> childProcesses();
// Writes a whole file; false if it could not.
bool writeFile(const QString &path, const QByteArray &content);
// A text file's content; empty when it cannot be read.
QString readFile(const QString &path);

// Files of a folder, hidden ones included.
QStringList filesIn(const QString &folder);

// Answers the next modal dialog of the given class that opens: `answer` gets it once,
// from the event loop. Returns a flag that becomes true once the dialog was answered.
std::shared_ptr<bool> answerNextDialog(const QMetaObject &type,
                                       std::function<void(QWidget *)> answer);

// Drops answers that no dialog took, so that they cannot leak into the next test.
void forgetPendingAnswers();

// Answers for the two kinds of dialog the program shows.
std::shared_ptr<bool> chooseInNextFileDialog(const QString &path);
std::shared_ptr<bool> cancelNextFileDialog();
// Records title and text, then closes the box with its OK button.
std::shared_ptr<bool> closeNextMessageBox(QString *title = nullptr, QString *text = nullptr);

// A batch's progress dialog, a window of its own; null when there is none.
QProgressDialog *progressWindow();

// Records every message box the program shows (title and text) and closes it
// with its OK button, for as long as it lives.
class MessageBoxRecorder : public QObject
{
public:
    MessageBoxRecorder();
    ~MessageBoxRecorder() override;
    QStringList titles;
    QStringList texts;

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;
};

// Starts a batch as the selection does: the movies into the block table, the form into the
// configuration record, then the driver, whose folder dialog is answered with `output`.
// False if no folder dialog opened.
bool startWindowBatch(MainWindow &window, const QStringList &movies, const QString &output);

// Drags the URLs onto the widget and drops them there, as a file manager does:
// a drag enter, then the drop. Returns whether the drop was accepted.
bool dropUrls(QWidget &target, const QList<QUrl> &urls, bool *enterAccepted = nullptr);

// "video:mpeg4:96x64", "audio:pcm_s16le", one entry a stream, as ffprobe reports them.
QStringList probeStreams(const QString &path);

// An audio stream as ffprobe reports it.
struct AudioStream
{
    int sampleRate = 0;
    int channels = 0;
    double seconds = 0;
};
// The audio streams of a file, in file order.
QList<AudioStream> probeAudioStreams(const QString &path);

// What ExifTool reads from a file, "Group:Tag" to its text, with the groups of the file's
// structure ("QuickTime", "Track1", "Keys", "UserData", "RIFF", "Composite"...) and
// coordinates in signed decimal degrees ("+33.875000"); empty when it cannot read it.
QMap<QString, QString> exifTags(const QString &path);

// "High yuv420p": the profile and pixel format of a file's first video stream.
QString probeVideoProfile(const QString &path);

// The types of an MP4 file's top-level boxes in file order: "ftyp", "moov", "mdat"...
QStringList topLevelBoxes(const QString &path);

// A chapter as ffprobe reports it.
struct ProbedChapter
{
    QString title;
    double start = 0; // seconds
    double end = 0;
};
QList<ProbedChapter> probeChapters(const QString &path);

// A movie's duration as ffprobe gives it, or nothing if ffprobe cannot tell.
std::optional<double> mediaDurationSeconds(const QString &path);

// Sound minus picture, in seconds, at each sync marker of a movie made with
// MovieRecipe::markers: a picture marker is the first bright frame of a run, a sound marker
// the first loud sample of a burst. Empty when the two do not count the same markers.
QList<double> avSyncOffsets(const QString &movie);

// The picture of a movie at a moment, as ffmpeg decodes it; a null image if it cannot.
QImage frameAt(const QString &movie, double seconds);

// What "ffmpeg -v error" prints while decoding the whole file: nothing when it plays
// through.
QByteArray decodingErrors(const QString &path);

// Last modification and access times in whole seconds since 1970.
qint64 modificationTime(const QString &path);
qint64 accessTime(const QString &path);
bool setTimes(const QString &path, qint64 access, qint64 modification);

// Folders of the running test function and row under `root`, made for its movies and its
// outputs.
void makeTestFolders(const QString &root, QString &movies, QString &output);

// Clears the program's settings store, kept in a folder of the test process's own, and
// the global records it fills. Call it before anything reads the settings.
void resetProgramState();

} // namespace testsupport
