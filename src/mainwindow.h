#pragma once

#include <QFileInfo>
#include <QMainWindow>
#include <QProcess>
#include <QProgressDialog>
#include <QStringList>

#include <atomic>
#include <functional>
#include <memory>
#include <optional>

class QCloseEvent;
class QDragEnterEvent;
class QDropEvent;
class QSocketNotifier;
class Batch;
class BatchReport;
struct TripJoin;
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
    // While the movie is read, `firstRecords` is shown the records found so far, once they
    // can only grow, until it returns true.
    using FirstRecords = std::function<bool(const s_BLOCK &records)>;
    static bool readTelemetry(const QString &moviePath, s_BLOCK &block,
                              const std::atomic<bool> *cancelled = nullptr,
                              const FirstRecords &firstRecords = {});
    // Writes the track as a partial file, dates it (dateShift seconds after its last record)
    // and moves it into place (safefile.h); the reason it failed, or an empty string.
    static QString writeTrackFile(const s_BLOCK &block, const QString &path, long dateShift);
    // The same for the GPX track of the block's records with a position.
    static QString writeGpxFile(const s_BLOCK &block, const QString &path, long dateShift);
    // Where a movie's track file goes in the configuration's output folder.
    static QString trackFilePath(const QFileInfo &movie);
    // The date of a movie's output files: dateShift seconds after the block's last record;
    // none for a movie without records, whose files keep the time they were written.
    static std::optional<qint64> driveDate(const s_BLOCK &block, long dateShift);

    // Conversion (conversion.cpp)
    bool get_destination();
    void startConversion();
    bool convertMovie(int i);

    // True from the moment a batch asks for its output folder until its last job has ended.
    bool conversionRunning() const;
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
    void showAbout();
    void bringToFront();
    void showWarning(const QString &text);
    void showInformation(const QString &text);
    // Ends a batch at once, as closing and Cancel do (Batch::abort), with its dialog.
    void endBatchNow();

    // conversion.cpp
    bool refuseWhileConverting();
    bool splitOutputPaths(const QFileInfo &movie, QString &front, QString &rear) const;
    QStringList outputPaths(const QFileInfo &movie) const;
    void removeLeftoverPartials() const;
    bool refuseMovie(int i, const QString &text);
    bool outputFolderWritable();
    bool outputsOverwriteMovies();
    QString joinTrip(int trip, const TripJoin &join);
    void jobFinished();
    static QString processingText(int movies);
    void showBatchProgress();
    void cancelConversion();
    void finishBatch(const BatchReport &report);

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
    std::unique_ptr<Batch> batch;

    std::unique_ptr<QSocketNotifier> terminationNotifier;
};
