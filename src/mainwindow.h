#pragma once

#include <QFileInfo>
#include <QMainWindow>
#include <QProcess>
#include <QProgressDialog>
#include <QStringList>
#include <QThread>

#include <atomic>
#include <deque>
#include <map>
#include <memory>

class QCloseEvent;
class QDragEnterEvent;
class QDropEvent;
class QSocketNotifier;
class ScanWorker;
class Ui_MainWindow;
struct s_BLOCK;

class MainWindow : public QMainWindow
{
    Q_OBJECT

public:
    explicit MainWindow(QWidget *parent = nullptr);
    ~MainWindow() override;

    // Settings (settings.cpp)
    void loadConf();
    void saveConf();
    void retrieveData();
    int getTimeZoneOffset();
    // The file-date shift for an offset in hours, bounded to a day either way.
    static long timezoneShiftSeconds(float offsetHours);
    void restoreWindowPos();
    void saveWindowPos();

    // Telemetry and track file (telemetry.cpp, trackfile.cpp)
    void load_gps_and_gforce_data_brightquill4300(int k);
    void save_gps_and_gforce_data_nmea(int k);
    int checkSum(const char *s);
    bool setFileModificationDate(QString path, long time);
    // The work behind the two above, safe on any thread: they use only what they are
    // given. readTelemetry is false when the movie is no regular file it could open;
    // a set `cancelled` ends the read early with the samples found so far.
    static bool readTelemetry(const QString &moviePath, s_BLOCK &block,
                              const std::atomic<bool> *cancelled = nullptr);
    // Writes the track under a temporary name, dates it (dateShift seconds after its last
    // record) and renames it into place; the reason it failed, or an empty string.
    static QString writeTrackFile(const s_BLOCK &block, const QString &path, long dateShift);
    static bool setFileTimes(const QString &path, long modificationTime);
    // Gives a complete file, written under `partial`, its final name and the date of the
    // block's last record plus dateShift; the reason it failed, with `partial` removed.
    static QString moveIntoPlace(const QString &partial, const QString &path, const s_BLOCK &block,
                                 long dateShift);
    // Where a file is written before it is complete: hidden, in the same folder, with the
    // same extension (ffmpeg picks the container from it).
    static QString partialPath(const QString &path);

    // Conversion (conversion.cpp)
    bool get_destination();
    void startConversion();
    bool convertMovie(int i);

    // True from the start of a batch until its last job has ended.
    bool conversionRunning() const { return conversionActive; }
    // Jobs started at the same time, at most.
    static int maxParallelJobs();
    // SIGTERM, SIGINT and SIGHUP close the window as its close control does.
    void closeOnTerminationSignals();

public slots:
    void mp4_radio_slot();
    void avi_radio_slot();
    void auto_radio_slot();
    void manual_radio_slot();
    void file_close_slot();
    void open_folder_slot();
    void open_file_slot();
    void front_process_finished_slot(int exitCode, QProcess::ExitStatus exitStatus);
    void rear_process_finished_slot(int exitCode, QProcess::ExitStatus exitStatus);

protected:
    void closeEvent(QCloseEvent *event) override;
    void dragEnterEvent(QDragEnterEvent *event) override;
    void dropEvent(QDropEvent *event) override;

private:
    enum class Side { Front, Rear };
    struct SplitJob
    {
        int block;
        Side side;
        QString program;
        QStringList arguments;
        QString logPath;
        QString output;  // the final name, which only a complete output gets
        QString partial; // what ffmpeg writes
    };

    void showAbout();
    void bringToFront();
    void showWarning(const QString &text);

    // trackfile.cpp
    QString trackFilePath(const QFileInfo &movie) const;

    // conversion.cpp
    QString ffmpegPath() const;
    bool refuseWhileConverting();
    bool splitOutputPaths(const QFileInfo &movie, QString &front, QString &rear) const;
    bool outputFolderWritable();
    bool outputsOverwriteMovies();
    void resetBatch();
    void scanNextMovie();
    void movieScanned(int batch, int k, const QString &trackError);
    void startQueuedJobs();
    void startJob(const SplitJob &job);
    void endJob(QProcess *process, int exitCode, QProcess::ExitStatus exitStatus);
    void concludeJob(const SplitJob &job, const QString &failure, const QByteArray &errorOutput,
                     int exitCode, QProcess::ExitStatus exitStatus);
    QString keepOutput(const SplitJob &job) const;
    bool movieHasJobs(int k) const;
    void releaseMovie(int k);
    void truncateLogOnce(const SplitJob &job);
    void appendToLog(const QString &logPath, const QByteArray &entry);
    void noteFailure(int k, const QString &what, const QString &reason);
    void jobFinished();
    void concludeBatchIfDone();
    void abandonUnstartedJobs();
    void finishBatch();
    QString errorSummary() const;
    void abortBatch();
    void stopScanThread();

    // selection.cpp
    struct Selection
    {
        int count = 0;
        int leftOut = 0;        // beyond the block table's room
        QStringList unreadable; // names that are not valid UTF-8, shown escaped
    };
    void takeMovie(const QFileInfo &movie, Selection &selection);
    bool takeMovieFolder(const QString &folder, Selection &selection);
    QFileInfoList listMovieFolder(const QString &folder, QStringList &unreadable) const;
    void showNoMoviesWarning(const QStringList &unreadable);
    void convertSelection(const Selection &selection);

    Ui_MainWindow *ui;
    QProgressDialog progressDialog;
    int progressCount = 0;
    bool completionShown = false;

    // The batch's job pool: queued in batch order, at most maxParallelJobs() running.
    std::deque<SplitJob> queuedJobs;
    std::map<QProcess *, SplitJob> runningJobs;
    int failedJobs = 0;
    int failedTracks = 0;
    int batchJobs = 0;     // 2 per movie of the batch
    int startedMovies = 0; // movies whose jobs were queued, from block 0 on
    int nextScan = 0;      // the next movie handed to the scan thread
    int batchNumber = 0;   // tells a late scan result of an ended batch from a current one
    bool scanning = false;
    bool conversionActive = false;
    bool startingJobs = false;
    bool frontLogOpened = false;
    bool rearLogOpened = false;
    bool logWritten = false;
    QString firstFailure;
    QString logFailure;
    QStringList unreadableNames; // movies of the selection that could not be taken

    // Movies are scanned and their track files written on scanThread (see ScanWorker).
    QThread scanThread;
    std::unique_ptr<ScanWorker> scanWorker;
    std::atomic<bool> scanCancelled{false};

    std::unique_ptr<QSocketNotifier> terminationNotifier;
};
