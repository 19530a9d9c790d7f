// Feeds arbitrary bytes as a recorder movie to the telemetry scanner and writes the
// track file of whatever it found.

#include "globals.h"
#include "mainwindow.h"

#include <QApplication>
#include <QFile>
#include <QTemporaryDir>

#include <cstddef>
#include <cstdint>

namespace {

// The window loads and may save settings: they go to the temporary folder, not the
// user's store. Must run before the application is constructed.
bool prepareEnvironment(const QTemporaryDir &dir)
{
    qputenv("QT_QPA_PLATFORM", "offscreen");
    qputenv("XDG_CONFIG_HOME", QFile::encodeName(dir.filePath("config")));
    return dir.isValid();
}

struct Harness
{
    QTemporaryDir dir;
    bool ready = prepareEnvironment(dir);
    int argc = 1;
    char name[16] = "fuzz_movie";
    char *argv[2] = {name, nullptr};
    QApplication app{argc, argv};
    MainWindow window;
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static Harness harness;
    const QString movie = harness.dir.filePath("FUZZ0001.AVI");
    QFile file(movie);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate))
        return 0;
    file.write(reinterpret_cast<const char *>(data), qint64(size));
    file.close();

    nBlocks_g = 1;
    BLOCKS_g[0].movieFile = QFileInfo(movie);
    CONF_g.outputDirectory = harness.dir.path() + '/';
    harness.window.load_gps_and_gforce_data_brightquill4300(0);
    harness.window.save_gps_and_gforce_data_nmea(0);
    return 0;
}
