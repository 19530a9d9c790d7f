// How movies enter a batch: the File menu's dialogs and drops onto the window.
#include "aviwriter.h"
#include "globals.h"
#include "mainwindow.h"
#include "testsupport.h"

#include <QAction>
#include <QApplication>
#include <QDir>
#include <QFile>
#include <QFileDialog>
#include <QSettings>
#include <QTemporaryDir>
#include <QtTest>

#include <fcntl.h>
#include <unistd.h>

using namespace testsupport;

namespace {

constexpr qint64 nineOClock = 1700000000;
const QString noMovies = "No AVI movie files found in this directory.";

QStringList batchNames()
{
    QStringList names;
    for (int i = 0; i < nBlocks_g; ++i)
        names << BLOCKS_g[i].movieFile.fileName();
    return names;
}

// Entries for a folder: "name" is a file, "name/" a sub-folder, "name@t" a file
// last modified t seconds after nine o'clock.
void makeEntries(const QString &folder, const QStringList &entries)
{
    QDir().mkpath(folder);
    for (const QString &entry : entries) {
        const QString name = entry.section('@', 0, 0);
        const qint64 offset = entry.contains('@') ? entry.section('@', 1).toLongLong() : 0;
        const QString path = folder + '/' + name;
        if (name.endsWith('/')) {
            QDir().mkpath(path);
        } else {
            QDir().mkpath(QFileInfo(path).absolutePath());
            QFile file(path);
            if (!file.open(QIODevice::WriteOnly))
                qFatal("cannot create %s", qPrintable(path));
        }
        setTimes(path, nineOClock + offset, nineOClock + offset);
    }
}

QUrl folderUrl(const QString &folder)
{
    return QUrl::fromLocalFile(folder + '/');
}

} // namespace

class TestSelection : public QObject
{
    Q_OBJECT

    QTemporaryDir work;
    QString root; // this test's own folder

    static QAction *action(MainWindow &window, const char *name)
    {
        return window.findChild<QAction *>(name);
    }

    // Picks the folder in the folder dialog; the batch that follows is stopped at its
    // output folder dialog, so what the selection put into the table can be checked.
    void selectFolder(MainWindow &window, const QString &folder, bool expectBatch)
    {
        auto chosen = chooseInNextFileDialog(folder);
        std::shared_ptr<bool> outputAsked;
        if (expectBatch)
            outputAsked = cancelNextFileDialog();
        action(window, "openFolderAction")->trigger();
        QVERIFY(*chosen);
        if (expectBatch)
            QTRY_VERIFY(*outputAsked);
    }

private slots:
    void init()
    {
        resetProgramState();
        QVERIFY(work.isValid());
        root = work.path() + '/' + QTest::currentTestFunction();
        if (QTest::currentDataTag())
            root += QString("-") + QTest::currentDataTag();
        QDir().mkpath(root);
        QVERIFY(linkFfmpegBesideApp());
    }

    void cleanup() { QTRY_VERIFY(!QApplication::activeModalWidget()); }

    void cancelledDialogsChangeNothing_data()
    {
        QTest::addColumn<QString>("actionName");
        QTest::newRow("file") << "openFileAction";
        QTest::newRow("folder") << "openFolderAction";
    }
    void cancelledDialogsChangeNothing()
    {
        QFETCH(QString, actionName);
        BLOCKS_g[0].movieFile = QFileInfo("/earlier/batch.avi");
        nBlocks_g = 1;
        MainWindow window;
        window.findChild<QWidget *>("bitrateEdit")->setProperty("text", "3");
        const float bitrate = CONF_g.bitrate;
        auto cancelled = cancelNextFileDialog();
        action(window, qPrintable(actionName))->trigger();
        QVERIFY(*cancelled);
        QCOMPARE(batchNames(), QStringList{"batch.avi"});
        QCOMPARE(CONF_g.bitrate, bitrate);
        QVERIFY(!QSettings().contains("movieDirectory"));
        QVERIFY(!QSettings().contains("outputDirectory"));
    }

    void dialogsStartWhereTheyShould()
    {
        const QString empty = root + "/no movies here";
        makeEntries(empty, {"notes.txt"});
        {
            MessageBoxRecorder boxes;
            MainWindow window;
            selectFolder(window, empty, false);
            QCOMPARE(boxes.texts, QStringList{noMovies});
            QCOMPARE(boxes.titles, QStringList{"Converter"});
            QCOMPARE(nBlocks_g, 0);
        }
        // A later run reopens the folder dialog where the user left it; the file
        // dialog always starts in the working folder.
        MainWindow window;
        QString folderStart, fileStart;
        auto folderSeen = answerNextDialog(QFileDialog::staticMetaObject, [&](QWidget *dialog) {
            folderStart = static_cast<QFileDialog *>(dialog)->directory().absolutePath();
            QMetaObject::invokeMethod(dialog, "reject", Qt::QueuedConnection);
        });
        action(window, "openFolderAction")->trigger();
        QVERIFY(*folderSeen);
        QCOMPARE(folderStart, empty);
        auto fileSeen = answerNextDialog(QFileDialog::staticMetaObject, [&](QWidget *dialog) {
            auto *fileDialog = static_cast<QFileDialog *>(dialog);
            fileStart = fileDialog->directory().absolutePath();
            QCOMPARE(fileDialog->nameFilters(), QStringList{"AVI Files (*.avi)"});
            QMetaObject::invokeMethod(dialog, "reject", Qt::QueuedConnection);
        });
        action(window, "openFileAction")->trigger();
        QVERIFY(*fileSeen);
        QCOMPARE(fileStart, QDir::currentPath());
    }

    void folderListing_data()
    {
        QTest::addColumn<QStringList>("entries");
        QTest::addColumn<QStringList>("batch");
        QTest::newRow("oldest first, any letter case")
            << QStringList{"b.AVI@3600", "a.avi@0"} << QStringList{"a.avi", "b.AVI"};
        QTest::newRow("equal times by name, descending")
            << QStringList{"A.avi", "B.avi", "C.avi"} << QStringList{"C.avi", "B.avi", "A.avi"};
        QTest::newRow("hidden, nested and other files left out")
            << QStringList{"._a.avi", "sub/x.avi", "notes.txt", "clip.avi.txt", "m.avi@5"}
            << QStringList{"m.avi"};
        QTest::newRow("a sub-folder named like a movie is taken")
            << QStringList{"x.avi/@0", "y.avi@60"} << QStringList{"x.avi", "y.avi"};
    }
    void folderListing()
    {
        QFETCH(QStringList, entries);
        QFETCH(QStringList, batch);
        makeEntries(root, entries);
        MainWindow window;
        selectFolder(window, root, true);
        QCOMPARE(batchNames(), batch);
        QCOMPARE(QSettings().value("movieDirectory").toString(), root);
    }

    // A Latin-1 name from an old card has no UTF-8 spelling: it cannot be converted, but
    // the user is told, not left to wonder where the movie went.
    void namesThatAreNotUtf8AreReported_data()
    {
        QTest::addColumn<bool>("withMovie");
        QTest::addColumn<QStringList>("texts");
        QTest::newRow("beside a movie")
            << true
            << QStringList{"Conversion finished with errors: 1 movie was left out: its name is "
                           "not valid UTF-8 (caf\\xe9.avi).\nSee front_log.txt and rear_log.txt "
                           "in the output folder."};
        QTest::newRow("alone") << false
                               << QStringList{"The AVI movie files of this directory cannot be "
                                              "converted: their names are not valid UTF-8 "
                                              "(caf\\xe9.avi). Rename them and try again."};
    }
    void namesThatAreNotUtf8AreReported()
    {
        QFETCH(bool, withMovie);
        QFETCH(QStringList, texts);
        QVERIFY(replaceFfmpegBesideApp(argumentRecordingFfmpeg(), true));
        const QString folder = root + "/card";
        QDir().mkpath(folder);
        QVERIFY(QFile(QFile::decodeName(QFile::encodeName(folder) + "/caf\xe9.avi"))
                    .fileName()
                    .contains(QChar::ReplacementCharacter));
        const int fd = ::open(QFile::encodeName(folder) + "/caf\xe9.avi", O_CREAT | O_WRONLY, 0644);
        QVERIFY(fd >= 0);
        ::close(fd);
        if (withMovie)
            QVERIFY(testavi::writeMovie(folder + "/ok.avi", {}));
        MessageBoxRecorder boxes;
        MainWindow window;
        auto movieFolder = chooseInNextFileDialog(folder);
        std::shared_ptr<bool> output = withMovie ? chooseInNextFileDialog(root) : nullptr;
        action(window, "openFolderAction")->trigger();
        QVERIFY(*movieFolder);
        QTRY_VERIFY(!window.conversionRunning() && !boxes.texts.isEmpty());
        QCOMPARE(boxes.texts, texts);
        QCOMPARE(batchNames(), withMovie ? QStringList{"ok.avi"} : QStringList{});
    }

    void singleFileAfterAFolder()
    {
        makeEntries(root, {"1.avi@1", "2.avi@2", "3.avi@3", "4.avi@4", "5.avi@5"});
        MainWindow window;
        selectFolder(window, root, true);
        QCOMPARE(nBlocks_g, 5);
        auto chosen = chooseInNextFileDialog(root + "/3.avi");
        auto outputAsked = cancelNextFileDialog();
        action(window, "openFileAction")->trigger();
        QTRY_VERIFY(*chosen && *outputAsked);
        QCOMPARE(batchNames(), QStringList{"3.avi"});
        QCOMPARE(BLOCKS_g[4].movieFile.fileName(), "5.avi"); // left as it was
    }

    void drops_data()
    {
        QTest::addColumn<QStringList>("items"); // "name" a file, "name/" a folder
        QTest::addColumn<QStringList>("batch");
        QTest::newRow("letter case of dropped files")
            << QStringList{"a.avi", "b.AVI", "c.Avi"} << QStringList{"a.avi", "b.AVI"};
        QTest::newRow("movie, then folder")
            << QStringList{"x.avi", "two/"} << QStringList{"x.avi", "old.avi", "new.AVI"};
        QTest::newRow("folder, then movie")
            << QStringList{"two/", "x.avi"} << QStringList{"old.avi", "new.AVI", "x.avi"};
        QTest::newRow("other files skipped")
            << QStringList{"notes.txt", "y.avi"} << QStringList{"y.avi"};
        QTest::newRow("folder without trailing separator") << QStringList{"two"} << QStringList{};
    }
    void drops()
    {
        QFETCH(QStringList, items);
        QFETCH(QStringList, batch);
        makeEntries(root, {"x.avi", "y.avi", "a.avi", "b.AVI", "c.Avi", "notes.txt",
                           "two/new.AVI@60", "two/old.avi@0"});
        QList<QUrl> urls;
        for (const QString &item : items)
            urls << (item.endsWith('/') ? folderUrl(root + '/' + item.chopped(1))
                                        : QUrl::fromLocalFile(root + '/' + item));
        MainWindow window;
        auto outputAsked = cancelNextFileDialog(); // even an empty drop asks for it
        QVERIFY(dropUrls(window, urls));
        QTRY_VERIFY(*outputAsked);
        QCOMPARE(batchNames(), batch);
        QVERIFY(!QSettings().contains("movieDirectory"));
    }

    void dropOfAnotherSchemeTakesItsPath()
    {
        MainWindow window;
        auto outputAsked = cancelNextFileDialog();
        QVERIFY(dropUrls(window, {QUrl("sftp://camera/card/DCIM/FILE0001.AVI")}));
        QTRY_VERIFY(*outputAsked);
        QCOMPARE(nBlocks_g, 1);
        QCOMPARE(BLOCKS_g[0].movieFile.filePath(), "/card/DCIM/FILE0001.AVI");
    }

    void emptyFolderEndsTheWholeDrop()
    {
        makeEntries(root, {"full/a.avi", "empty/notes.txt", "z.avi"});
        BLOCKS_g[0].movieFile = QFileInfo("/earlier/batch.avi");
        nBlocks_g = 1;
        MessageBoxRecorder boxes;
        MainWindow window;
        QVERIFY(dropUrls(window, {folderUrl(root + "/full"), folderUrl(root + "/empty"),
                                  QUrl::fromLocalFile(root + "/z.avi")}));
        QCOMPARE(boxes.texts, QStringList{noMovies});
        QVERIFY(!window.conversionRunning());
        QVERIFY(!QSettings().contains("outputDirectory")); // no output folder was asked
    }

    void dragWithoutUrlsIsRefused()
    {
        MainWindow window;
        QMimeData data;
        data.setText("FILE0001.AVI");
        QDragEnterEvent enter(QPoint(5, 5), Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
        QCoreApplication::sendEvent(&window, &enter);
        QVERIFY(!enter.isAccepted());
        bool accepted = false;
        auto outputAsked = cancelNextFileDialog();
        dropUrls(window, {QUrl::fromLocalFile("/x.avi")}, &accepted);
        QVERIFY(accepted);
        QTRY_VERIFY(*outputAsked);
    }

    void selectionBeyondTheBlockTableIsCut()
    {
        QStringList entries;
        for (int i = 0; i < MAX_BLOCKS + 5; ++i)
            entries << QString("M%1.avi@%2").arg(i, 4, 10, QChar('0')).arg(i);
        makeEntries(root, entries);
        MessageBoxRecorder boxes;
        MainWindow window;
        auto outputAsked = cancelNextFileDialog();
        QVERIFY(dropUrls(window, {folderUrl(root), QUrl::fromLocalFile(root + "/M0000.avi")}));
        QTRY_VERIFY(*outputAsked);
        QCOMPARE(nBlocks_g, MAX_BLOCKS);
        QCOMPARE(BLOCKS_g[MAX_BLOCKS - 1].movieFile.fileName(), "M0999.avi"); // the oldest
        QCOMPARE(boxes.texts.size(), 1);
        QVERIFY(boxes.texts.first().contains("6 were left out"));
    }

    void droppedNameReachesFfmpegIntact()
    {
        QVERIFY(replaceFfmpegBesideApp(argumentRecordingFfmpeg(), true));
        const QString movie = root + "/Drive 2024 ü'$(x).avi";
        makeEntries(root, {QFileInfo(movie).fileName()});
        // As a file manager sends it: percent-encoded UTF-8.
        const QUrl url("file://" + QString::fromLatin1(QUrl::toPercentEncoding(movie, "/")));
        QVERIFY(url.toEncoded().contains("%C3%BC"));
        MessageBoxRecorder boxes;
        MainWindow window;
        auto chosen = chooseInNextFileDialog(root);
        QVERIFY(dropUrls(window, {url}));
        QVERIFY(*chosen);
        QTRY_VERIFY(!window.conversionRunning() && !boxes.texts.isEmpty());
        const QStringList arguments = recordedFfmpegArguments(root + "/Drive 2024 ü'$(x)F.mp4");
        QCOMPARE(arguments.value(arguments.indexOf("-i") + 1), movie);
        QVERIFY(
            isPartialOf(arguments.value(arguments.size() - 1), root + "/Drive 2024 ü'$(x)F.mp4"));
    }

    void droppedFolderIsConvertedEndToEnd()
    {
        const QString folder = root + "/card";
        const QString output = root + "/converted";
        QDir().mkpath(folder);
        QDir().mkpath(output);
        const QStringList names = {"FILE0001.AVI", "FILE0002.AVI", "FILE0003.AVI"};
        for (int i = 0; i < names.size(); ++i) {
            testavi::MovieRecipe recipe;
            recipe.samples = testavi::drive(nineOClock + 600 * i, 3);
            QVERIFY(testavi::writeMovie(folder + '/' + names[i], recipe));
            setTimes(folder + '/' + names[i], nineOClock + i, nineOClock + i);
        }
        MessageBoxRecorder boxes;
        MainWindow window;
        window.findChild<QWidget *>("timezoneOffset")->setProperty("text", "-3.5");
        auto chosen = chooseInNextFileDialog(output);
        QVERIFY(dropUrls(window, {folderUrl(folder)}));
        QVERIFY(*chosen);
        QTRY_VERIFY_WITH_TIMEOUT(!window.conversionRunning() && !boxes.texts.isEmpty(), 120000);
        QCOMPARE(boxes.texts, QStringList{"Conversion Complete!"});
        for (int i = 0; i < names.size(); ++i) {
            const QString stem = output + '/' + names[i].chopped(4);
            const qint64 dated = nineOClock + 600 * i + 2 - 12600; // last second, -3.5 h
            for (const QString &file : {stem + "F.mp4", stem + "R.mp4", stem + ".gps"}) {
                QVERIFY2(QFileInfo(file).size() > 0, qPrintable(file));
                QCOMPARE(modificationTime(file), dated);
            }
        }
    }
};

QTEST_MAIN(TestSelection)
#include "tst_selection.moc"
