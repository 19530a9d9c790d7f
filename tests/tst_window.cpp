// The converter's window: its form, its settings and what closing it stores.
#include "globals.h"
#include "mainwindow.h"
#include "testsupport.h"

#include <QAction>
#include <QApplication>
#include <QFile>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMenuBar>
#include <QProgressDialog>
#include <QPushButton>
#include <QRadioButton>
#include <QSettings>
#include <QTimeZone>
#include <QtEndian>
#include <QtTest>

#include <cstdlib>
#include <ctime>
#include <memory>

using namespace testsupport;

class TestWindow : public QObject
{
    Q_OBJECT

private:
    static QSettings store() { return QSettings(APP_COMPANY_g, QSETTINGS_APP_NAME_g); }
    template <typename T> static T *find(MainWindow &window, const char *name)
    {
        T *child = window.findChild<T *>(name);
        if (!child)
            qFatal("no child %s", name);
        return child;
    }
    static void storeConfiguration(const QVariantMap &values)
    {
        QSettings settings(APP_COMPANY_g, QSETTINGS_APP_NAME_g);
        settings.beginGroup("configuration");
        for (auto it = values.begin(); it != values.end(); ++it)
            settings.setValue(it.key(), it.value());
    }

private slots:
    void init() { resetProgramState(); }
    void cleanup()
    {
        QTRY_VERIFY(!QApplication::activeModalWidget());
        qunsetenv("TZ");
        tzset();
    }

    void firstStartDefaults()
    {
        MainWindow window;
        QCOMPARE(CONF_g.confVersion, 1);
        QCOMPARE(CONF_g.autoBitrate, true);
        QCOMPARE(CONF_g.bitrate, 7.0f);
        QCOMPARE(CONF_g.movieFormat, 0);
        QVERIFY(CONF_g.outputDirectory.isEmpty());
        QVERIFY(find<QRadioButton>(window, "mp4Radio")->isChecked());
        QVERIFY(!find<QRadioButton>(window, "aviRadio")->isChecked());
        QVERIFY(find<QRadioButton>(window, "autoRadio")->isChecked());
        QVERIFY(!find<QRadioButton>(window, "manualRadio")->isChecked());
        QCOMPARE(find<QLineEdit>(window, "bitrateEdit")->text(), "7");
        QCOMPARE(window.size(), QSize(528, 325));
        QCOMPARE(window.pos(), QPoint(2, 24));
    }

    void defaultOffsetTruncatesTowardZero_data()
    {
        QTest::addColumn<QByteArray>("zone");
        for (const char *zone :
             {"UTC", "Asia/Kolkata", "Asia/Kathmandu", "America/St_Johns", "America/Caracas",
              "Europe/Berlin", "Australia/Adelaide", "Pacific/Chatham"})
            QTest::addRow("%s", zone) << QByteArray(zone);
    }
    void defaultOffsetTruncatesTowardZero()
    {
        QFETCH(QByteArray, zone);
        const QTimeZone timeZone(zone);
        QVERIFY2(timeZone.isValid(), "time zone data missing");
        qputenv("TZ", zone);
        tzset();
        // Half-hour zones lose their fraction toward zero: +5:30 -> 5, -3:30 -> -3.
        const int offset = timeZone.offsetFromUtc(QDateTime::currentDateTimeUtc());
        const int expectedHours = offset / 3600;
        QCOMPARE(MainWindow().getTimeZoneOffset(), offset);
        MainWindow window;
        QCOMPARE(CONF_g.timezoneOffset, float(expectedHours));
        QCOMPARE(find<QLineEdit>(window, "timezoneOffset")->text(), QString::number(expectedHours));
    }

    void storedOffsetWinsOverTheLocalZone()
    {
        storeConfiguration({{"timezoneOffset", 2.5f}});
        qputenv("TZ", "Asia/Kolkata");
        tzset();
        MainWindow window;
        QCOMPARE(CONF_g.timezoneOffset, 2.5f);
        QCOMPARE(find<QLineEdit>(window, "timezoneOffset")->text(), "2.5");
    }

    void valuesSurviveCloseAndRestart()
    {
        storeConfiguration({{"confVersion", 7}});
        {
            MainWindow window;
            window.show();
            QTest::mouseClick(find<QRadioButton>(window, "aviRadio"), Qt::LeftButton);
            QTest::mouseClick(find<QRadioButton>(window, "manualRadio"), Qt::LeftButton);
            find<QLineEdit>(window, "bitrateEdit")->setText("2.3");
            find<QLineEdit>(window, "timezoneOffset")->setText("-3.5");
            window.resize(528, 500);
            window.move(40, 60);
            QTest::mouseClick(find<QPushButton>(window, "quitButton"), Qt::LeftButton);
            QVERIFY(!window.isVisible());
        }
        CONF_g = s_CONF{};
        MainWindow window;
        QCOMPARE(CONF_g.confVersion, 7);
        QCOMPARE(CONF_g.movieFormat, 1);
        QCOMPARE(CONF_g.autoBitrate, false);
        QCOMPARE(CONF_g.bitrate, 2.3f);
        QCOMPARE(CONF_g.timezoneOffset, -3.5f);
        QVERIFY(find<QRadioButton>(window, "aviRadio")->isChecked());
        QVERIFY(!find<QRadioButton>(window, "mp4Radio")->isChecked());
        QVERIFY(find<QRadioButton>(window, "manualRadio")->isChecked());
        QCOMPARE(find<QLineEdit>(window, "bitrateEdit")->text(), "2.3");
        QCOMPARE(find<QLineEdit>(window, "timezoneOffset")->text(), "-3.5");
        QCOMPARE(window.size(), QSize(528, 500));
        QCOMPARE(window.pos(), QPoint(40, 60));
    }

    void everyWayOfClosingSavesBothGroups_data()
    {
        QTest::addColumn<QString>("how");
        QTest::newRow("Quit menu entry") << "quitAction";
        QTest::newRow("Quit button") << "quitButton";
        QTest::newRow("close control") << "close";
    }
    void everyWayOfClosingSavesBothGroups()
    {
        QFETCH(QString, how);
        MainWindow window;
        window.show();
        find<QLineEdit>(window, "bitrateEdit")->clear(); // an empty field stores 0
        window.resize(528, 510);
        if (how == "quitAction")
            find<QAction>(window, "quitAction")->trigger();
        else if (how == "quitButton")
            QTest::mouseClick(find<QPushButton>(window, "quitButton"), Qt::LeftButton);
        else
            window.close();
        QVERIFY(!window.isVisible());
        QSettings settings = store();
        QCOMPARE(settings.value("configuration/confVersion").toInt(), 1);
        QCOMPARE(settings.value("configuration/autoBitrate").toBool(), true);
        QCOMPARE(settings.value("configuration/bitrate").toFloat(), 0.0f);
        QVERIFY(settings.contains("configuration/timezoneOffset"));
        QCOMPARE(settings.value("configuration/movieFormat").toInt(), 0);
        QCOMPARE(settings.value("mainWindow/size").toSize(), QSize(528, 510));
        QVERIFY(settings.contains("mainWindow/pos"));
        QVERIFY(!settings.contains("outputDirectory"));
        QVERIFY(!settings.contains("movieDirectory"));
    }

    // Each option of the "Extras" box: its default, its tooltip, the value it stores, and
    // that it comes back after closing and starting again.
    void extrasPersist_data()
    {
        QTest::addColumn<QString>("button");
        QTest::addColumn<QString>("key");
        QTest::addColumn<bool>("checkedAtFirst");
        QTest::addColumn<QVariant>("storedWhenClicked");
        QTest::newRow("GPX track") << "gpxTrackCheck"
                                   << "configuration/gpxTrack" << true << QVariant(false);
        QTest::newRow("H.264") << "h264Radio"
                               << "configuration/videoCodec" << false << QVariant("h264");
        QTest::newRow("trips") << "joinTripsCheck"
                               << "configuration/joinTrips" << false << QVariant(true);
        QTest::newRow("place in movies")
            << "placeInMoviesCheck"
            << "configuration/placeInMovies" << true << QVariant(false);
    }
    void extrasPersist()
    {
        QFETCH(QString, button);
        QFETCH(QString, key);
        QFETCH(bool, checkedAtFirst);
        QFETCH(QVariant, storedWhenClicked);
        const QByteArray name = button.toUtf8();
        {
            MainWindow window;
            window.show();
            auto *option = find<QAbstractButton>(window, name);
            QVERIFY(find<QWidget>(window, "extrasGroup")->isAncestorOf(option));
            QVERIFY(!option->toolTip().isEmpty());
            QCOMPARE(option->isChecked(), checkedAtFirst);
            // On its box: a check box stretched across the window takes no click beside its text.
            QTest::mouseClick(option, Qt::LeftButton, {}, QPoint(6, option->height() / 2));
            window.close();
        }
        QCOMPARE(store().value(key).toString(), storedWhenClicked.toString());
        MainWindow window;
        QCOMPARE(find<QAbstractButton>(window, name)->isChecked(), !checkedAtFirst);
    }

    void unreadableStoredValuesGiveZero()
    {
        storeConfiguration({{"bitrate", "fast"}, {"timezoneOffset", "here"}, {"movieFormat", 5}});
        MainWindow window;
        QCOMPARE(CONF_g.bitrate, 0.0f);
        QCOMPARE(CONF_g.timezoneOffset, 0.0f);
        QCOMPARE(CONF_g.movieFormat, 5);
        // Neither format is shown; the next read of the form makes it MP4.
        QVERIFY(!find<QRadioButton>(window, "mp4Radio")->isChecked());
        QVERIFY(!find<QRadioButton>(window, "aviRadio")->isChecked());
        window.retrieveData();
        QCOMPARE(CONF_g.movieFormat, 0);
    }

    void absurdOffsetIsStoredAsTyped()
    {
        {
            MainWindow window;
            find<QLineEdit>(window, "timezoneOffset")->setText("1e30");
            window.close();
        }
        QCOMPARE(store().value("configuration/timezoneOffset").toFloat(), 1e30f);
        MainWindow window;
        QCOMPARE(find<QLineEdit>(window, "timezoneOffset")->text(), "1e+30");
        QCOMPARE(timezoneShiftSeconds(1e30f), 24L * 3600);
        QCOMPARE(timezoneShiftSeconds(-1e30f), -24L * 3600);
        QCOMPARE(timezoneShiftSeconds(std::numeric_limits<float>::quiet_NaN()), 0L);
        QCOMPARE(timezoneShiftSeconds(-3.5f), -12600L);
    }

    void radioPairsAreExclusive_data()
    {
        QTest::addColumn<QString>("clicked");
        QTest::addColumn<QString>("checked");
        QTest::addColumn<QString>("unchecked");
        QTest::newRow("avi") << "aviRadio"
                             << "aviRadio"
                             << "mp4Radio";
        QTest::newRow("mp4 already checked") << "mp4Radio"
                                             << "mp4Radio"
                                             << "aviRadio";
        QTest::newRow("manual") << "manualRadio"
                                << "manualRadio"
                                << "autoRadio";
        QTest::newRow("auto already checked") << "autoRadio"
                                              << "autoRadio"
                                              << "manualRadio";
    }
    void radioPairsAreExclusive()
    {
        QFETCH(QString, clicked);
        QFETCH(QString, checked);
        QFETCH(QString, unchecked);
        MainWindow window;
        window.show();
        const bool formatPair = clicked == "mp4Radio" || clicked == "aviRadio";
        const char *other = formatPair ? "autoRadio" : "mp4Radio";
        QTest::mouseClick(find<QRadioButton>(window, qPrintable(clicked)), Qt::LeftButton);
        QVERIFY(find<QRadioButton>(window, qPrintable(checked))->isChecked());
        QVERIFY(!find<QRadioButton>(window, qPrintable(unchecked))->isChecked());
        QVERIFY2(find<QRadioButton>(window, other)->isChecked(), "the other pair was touched");
        QVERIFY(find<QLineEdit>(window, "bitrateEdit")->isEnabled());
    }

    void noEmptyProgressWindowAfterStart()
    {
        MainWindow window;
        window.show();
        QTest::qWait(4500); // longer than a progress dialog's default minimum duration
        for (QWidget *widget : QApplication::topLevelWidgets())
            QVERIFY2(!qobject_cast<QProgressDialog *>(widget) || !widget->isVisible(),
                     "a progress window showed up without a batch");
    }

    void titleAndWidthBound()
    {
        MainWindow window;
        QCOMPARE(window.windowTitle(), "BRIGHTQUILL 4400 Converter, v1.0.1");
        window.show();
        window.resize(900, 1200);
        QCOMPARE(window.size(), QSize(528, 1200));
        QCOMPARE(window.maximumSize(), QSize(528, 37900));
        QVERIFY(window.acceptDrops());
    }

    void storedWidthIsBoundOnRestore()
    {
        QSettings settings = store();
        settings.setValue("mainWindow/size", QSize(1000, 400));
        settings.setValue("mainWindow/pos", QPoint(-5000, 9000));
        settings.sync();
        MainWindow window;
        QCOMPARE(window.size(), QSize(528, 400));
        QCOMPARE(window.pos(), QPoint(-5000, 9000));
    }

    void menusAndShortcuts()
    {
        MainWindow window;
        auto *bar = find<QMenuBar>(window, "menubar");
        QStringList menus;
        for (QAction *action : bar->actions())
            menus << action->text();
        QCOMPARE(menus, QStringList({"File", "Help"}));

        QStringList fileEntries;
        for (QAction *action : find<QMenu>(window, "menuFile")->actions())
            fileEntries << (action->isSeparator()
                                ? "-"
                                : action->text() + " [" + action->shortcut().toString() + "]");
        QCOMPARE(fileEntries, QStringList({"Convert AVI Movie Folder... [Ctrl+O]",
                                           "Convert AVI Movie File... [Ctrl+F]", "-", "Quit []"}));
        const QList<QAction *> help = find<QMenu>(window, "menuHelp")->actions();
        QCOMPARE(help.size(), 1);
        QCOMPARE(help.first()->text(), "About");
        QVERIFY(help.first()->shortcut().isEmpty());
    }

    void formTexts()
    {
        MainWindow window;
        QCOMPARE(find<QLabel>(window, "label_2")->text(),
                 QString("Output Format:") + QString(16, ' '));
        QCOMPARE(find<QRadioButton>(window, "mp4Radio")->text(), "MP4 ");
        QCOMPARE(find<QRadioButton>(window, "aviRadio")->text(), "Retain (AVI)");
        QCOMPARE(find<QLabel>(window, "label_3")->text(), "Output Bitrate (MP4 only):");
        QCOMPARE(find<QRadioButton>(window, "manualRadio")->text(), "Manual:");
        QCOMPARE(find<QLabel>(window, "label")->text(), "UTC Timezone Offset:");
        QCOMPARE(find<QLabel>(window, "label_4")->text(), "hrs");
        QCOMPARE(find<QLineEdit>(window, "timezoneOffset")->maximumWidth(), 50);
        QVERIFY(!find<QRadioButton>(window, "mp4Radio")->autoExclusive());
        QVERIFY(find<QWidget>(window, "frame")->acceptDrops());
        QVERIFY(!find<QWidget>(window, "settingsGroup")->acceptDrops());
        // Options of our own stand apart, between the settings and the Quit button.
        window.show();
        const auto *extras = find<QGroupBox>(window, "extrasGroup");
        QCOMPARE(extras->title(), "Extras");
        QVERIFY(find<QWidget>(window, "settingsGroup")->geometry().bottom() < extras->y());
        QVERIFY(extras->geometry().bottom() < find<QWidget>(window, "quitButton")->y());
    }

    void aboutBoxNamesVersionQtAndFfmpeg()
    {
        QVERIFY(linkFfmpegBesideApp());
        MainWindow window;
        window.show();
        QString title, text;
        auto answered = closeNextMessageBox(&title, &text);
        find<QAction>(window, "aboutAction")->trigger();
        QTRY_VERIFY(*answered);
        QVERIFY(text.contains("v1.0.1"));
        QVERIFY(text.contains(qVersion()));
        QVERIFY(text.contains(QCoreApplication::applicationDirPath() + "/ffmpeg"));
        QVERIFY(text.contains("(found)"));
    }

    void dropTargetPicture()
    {
        QFile file(":/images/drag-image.png");
        QVERIFY(file.open(QIODevice::ReadOnly));
        const QByteArray png = file.readAll();
        QVERIFY(png.startsWith("\x89PNG\r\n\x1a\n"));
        QMap<QByteArray, QByteArray> chunks;
        QByteArrayList order;
        for (qsizetype at = 8; at + 12 <= png.size();) {
            const quint32 length = qFromBigEndian<quint32>(png.constData() + at);
            const QByteArray type = png.mid(at + 4, 4);
            chunks.insert(type, png.mid(at + 8, length));
            order << type;
            at += 12 + qsizetype(length);
        }
        const QByteArray header = chunks.value("IHDR");
        QCOMPARE(qFromBigEndian<quint32>(header.constData()), 500u);
        QCOMPARE(qFromBigEndian<quint32>(header.constData() + 4), 70u);
        QCOMPARE(int(header.at(8)), 8);  // bit depth
        QCOMPARE(int(header.at(9)), 2);  // RGB truecolour
        QCOMPARE(int(header.at(12)), 0); // not interlaced
        const QByteArray physical = chunks.value("pHYs");
        QCOMPARE(qFromBigEndian<quint32>(physical.constData()), 4724u);
        QCOMPARE(qFromBigEndian<quint32>(physical.constData() + 4), 4724u);
        QCOMPARE(int(physical.at(8)), 1); // unit: metre
        QVERIFY(chunks.contains("iCCP"));
        QVERIFY(order.indexOf("cHRM") >= 0 && order.indexOf("cHRM") < order.indexOf("IDAT"));
    }
};

QTEST_MAIN(TestWindow)
#include "tst_window.moc"
