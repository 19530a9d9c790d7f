#pragma once

#include <QFileInfo>
#include <QMainWindow>
#include <QProcess>
#include <QProgressDialog>
#include <QStringList>

#include <deque>

class QCloseEvent;
class QDragEnterEvent;
class QDropEvent;
class Ui_MainWindow;

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

    // Conversion (conversion.cpp)
    bool get_destination();
    void startConversion();
    bool convertMovie(int i);

    // True from the start of a batch until its last job has ended.
    bool conversionRunning() const { return conversionActive; }
    // Jobs started at the same time, at most.
    static int maxParallelJobs();

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
    bool outputsOverwriteMovies();
    void startQueuedJobs();
    void startJob(const SplitJob &job);
    void endJob(QProcess *process, const SplitJob &job, int exitCode,
                QProcess::ExitStatus exitStatus);
    void appendToLog(const SplitJob &job, const QByteArray &errorOutput, const QString &result);
    void jobFinished(int exitCode, QProcess::ExitStatus exitStatus);
    void concludeBatchIfDone();
    void dateBatchOutputs();
    void abandonUnstartedJobs();
    void finishBatch();

    // selection.cpp
    void takeMovie(const QFileInfo &movie, int &count, int &leftOut);
    QFileInfoList listMovieFolder(const QString &folder) const;
    void showNoMoviesWarning();
    void convertSelection(int count, int leftOut);

    Ui_MainWindow *ui;
    QProgressDialog progressDialog;
    int progressCount = 0;
    bool completionShown = false;

    // The batch's job pool: queued in batch order, at most maxParallelJobs() running.
    std::deque<SplitJob> queuedJobs;
    int runningJobs = 0;
    int failedJobs = 0;
    int batchJobs = 0;     // 2 per movie of the batch
    int startedMovies = 0; // movies whose jobs were queued, from block 0 on
    bool conversionActive = false;
    bool startingJobs = false;
    bool frontLogOpened = false;
    bool rearLogOpened = false;
};
