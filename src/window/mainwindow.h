#pragma once

#include "configuration.h"

#include <QFileInfo>
#include <QMainWindow>
#include <QProcess>
#include <QProgressDialog>
#include <QStringList>

#include <memory>

class QCloseEvent;
class QDragEnterEvent;
class QDropEvent;
class Batch;
class BatchReport;
struct MovieSelection;
class Ui_MainWindow;

// The window's configuration record: the form's values, copied in by retrieveData and
// handed to each batch.
extern s_CONF CONF_g;

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

    // True from the moment a batch asks for its output folder until its last job has ended.
    bool conversionRunning() const;

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
    bool refusedBeforeStart(const QString &problem);
    void jobFinished();
    static QString processingText(int movies);
    void showBatchProgress();
    void cancelConversion();
    void finishBatch(const BatchReport &report);

    // selection.cpp
    bool takeMovieFolder(const QString &folder, MovieSelection &selection);
    void convertSelection(const MovieSelection &selection);

    Ui_MainWindow *ui;
    QProgressDialog progressDialog;
    std::unique_ptr<Batch> batch;
};
