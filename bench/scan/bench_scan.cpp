// Times the telemetry scan of a large movie against a plain read of the same file and
// against grep, all on the warm page cache, and measures the private memory the scan
// takes for a 1 GiB and a 4 GiB movie. The last line sums it up for scripts.

#include "globals.h"
#include "mainwindow.h"

#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QtEndian>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <functional>
#include <sys/statvfs.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

constexpr qint64 GiB = qint64(1) << 30;
constexpr qint64 WriteBlock = qint64(8) << 20;
constexpr int Chunks = 3000;
constexpr int ChunkBytes = 80;
constexpr int Repetitions = 5;
constexpr qint32 StartTime = 1342256765;

struct SplitMix
{
    quint64 state;
    quint64 next()
    {
        quint64 z = (state += 0x9e3779b97f4a7c15ULL);
        z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ULL;
        z = (z ^ (z >> 27)) * 0x94d049bb133111ebULL;
        return z ^ (z >> 31);
    }
};

// Every signature ends in "xH": turning each 'H' after an 'x' into 'I' leaves the random
// bytes without a single one, also across blocks (previous is the last byte before).
void removeSignatures(std::vector<uchar> &block, uchar previous)
{
    for (size_t i = 0; i < block.size(); ++i) {
        const uchar before = i == 0 ? previous : block[i - 1];
        if (before == 'x' && block[i] == 'H')
            block[i] = 'I';
    }
}

QByteArray chunk(int index)
{
    QByteArray c(ChunkBytes, '\0');
    char *d = c.data();
    std::memcpy(d, "02tx", 4);
    qToLittleEndian<quint32>(72, d + 4);
    const float values[] = {0.015625f, -0.984375f, 0.125f};
    std::memcpy(d + 48, values, sizeof values);
    qToLittleEndian<quint32>(0x05, d + 60);
    qToLittleEndian<qint32>(StartTime + index / 3, d + 76); // 3 samples a second
    return c;
}

qint64 chunkOffset(int index, qint64 size)
{
    return (size / Chunks) * index + 1000;
}

// Copies the parts of the chunks that fall into the block at blockStart.
void placeChunks(std::vector<uchar> &block, qint64 blockStart, qint64 size)
{
    const qint64 blockEnd = blockStart + qint64(block.size());
    for (int i = 0; i < Chunks; ++i) {
        const qint64 at = chunkOffset(i, size);
        const qint64 from = std::max(at, blockStart);
        const qint64 to = std::min(at + ChunkBytes, blockEnd);
        if (from < to)
            std::memcpy(block.data() + (from - blockStart), chunk(i).constData() + (from - at),
                        size_t(to - from));
    }
}

bool writeMovie(const QString &path, qint64 size)
{
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate))
        return false;
    SplitMix random{42};
    std::vector<uchar> block;
    uchar previous = 0;
    for (qint64 start = 0; start < size; start += WriteBlock) {
        block.resize(size_t(std::min(WriteBlock, size - start)));
        for (size_t i = 0; i + 8 <= block.size(); i += 8) {
            const quint64 r = random.next();
            std::memcpy(block.data() + i, &r, 8);
        }
        removeSignatures(block, previous);
        previous = block.back();
        placeChunks(block, start, size);
        if (file.write(reinterpret_cast<const char *>(block.data()), qint64(block.size())) !=
            qint64(block.size()))
            return false;
    }
    return true;
}

double medianSeconds(const std::function<void()> &run)
{
    std::vector<double> times;
    for (int i = 0; i < Repetitions; ++i) {
        QElapsedTimer timer;
        timer.start();
        run();
        times.push_back(double(timer.nsecsElapsed()) * 1e-9);
    }
    std::sort(times.begin(), times.end());
    return times[times.size() / 2];
}

void plainRead(const QString &path)
{
    const int fd = open(QFile::encodeName(path).constData(), O_RDONLY);
    std::vector<char> buffer(size_t(1) << 20);
    while (read(fd, buffer.data(), buffer.size()) > 0) {
    }
    close(fd);
}

QByteArray grepCount(const QString &path)
{
    QProcess grep;
    grep.start("grep", {"-c", "-a", "-F", "02txH", path});
    grep.waitForFinished(-1);
    return grep.readAllStandardOutput().trimmed();
}

qint64 rssAnonKiB()
{
    QFile status("/proc/self/status");
    if (!status.open(QIODevice::ReadOnly))
        return 0;
    for (const QByteArray &line : status.readAll().split('\n'))
        if (line.startsWith("RssAnon:"))
            return line.mid(8).trimmed().split(' ').first().toLongLong();
    return 0;
}

// Growth of the private (anonymous) memory while the scan runs, sampled every 200 µs.
qint64 privateGrowthMiB(MainWindow &window, const QString &path)
{
    const qint64 before = rssAnonKiB();
    std::atomic<bool> running{true};
    std::atomic<qint64> peak{before};
    std::thread sampler([&] {
        while (running) {
            peak = std::max(peak.load(), rssAnonKiB());
            std::this_thread::sleep_for(std::chrono::microseconds(200));
        }
    });
    BLOCKS_g[0].movieFile = QFileInfo(path);
    window.load_gps_and_gforce_data_brightquill4300(0);
    running = false;
    sampler.join();
    peak = std::max(peak.load(), rssAnonKiB());
    return (peak - before + 1023) / 1024;
}

double gbPerSecond(qint64 bytes, double seconds)
{
    return double(bytes) / seconds * 1e-9;
}

qint64 freeBytes(const QString &dir)
{
    struct statvfs fs;
    if (statvfs(QFile::encodeName(dir).constData(), &fs) != 0)
        return 0;
    return qint64(fs.f_bavail) * qint64(fs.f_frsize);
}

} // namespace

int main(int argc, char **argv)
{
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    MainWindow window;

    const QString base = qEnvironmentVariable("BENCH_DIR", QDir::tempPath());
    QTemporaryDir dir(base + "/bench_scan-XXXXXX");
    if (!dir.isValid() || freeBytes(dir.path()) < 6 * GiB) {
        std::fprintf(stderr, "need 6 GiB free in %s\n", qPrintable(base));
        return 1;
    }
    const QString movie = dir.filePath("movie-1g.avi");
    if (!writeMovie(movie, GiB)) {
        std::fprintf(stderr, "cannot write %s\n", qPrintable(movie));
        return 1;
    }

    plainRead(movie); // warms the page cache
    // Before the timed runs, which leave freed memory in the heap for the later ones.
    const qint64 private1g = privateGrowthMiB(window, movie);
    const double readTime = medianSeconds([&] { plainRead(movie); });
    QByteArray grepLines;
    const double grepTime = medianSeconds([&] { grepLines = grepCount(movie); });
    BLOCKS_g[0].movieFile = QFileInfo(movie);
    const double scanTime =
        medianSeconds([&] { window.load_gps_and_gforce_data_brightquill4300(0); });
    const int records = BLOCKS_g[0].nRecords;

    std::printf("file: %lld bytes, %d chunks; grep lines %s, records %d (expect 1000)\n", GiB,
                Chunks, grepLines.constData(), records);
    std::printf("plain read (1 MiB buffer): %.2f GB/s\n", gbPerSecond(GiB, readTime));
    std::printf("grep -c -a -F:             %.2f GB/s\n", gbPerSecond(GiB, grepTime));
    std::printf("telemetry scan:            %.2f GB/s\n", gbPerSecond(GiB, scanTime));

    QFile::remove(movie);
    const QString big = dir.filePath("movie-4g.avi");
    qint64 private4g = -1;
    if (writeMovie(big, 4 * GiB)) {
        private4g = privateGrowthMiB(window, big);
        std::printf("4 GiB movie: records %d (expect 1000)\n", BLOCKS_g[0].nRecords);
    }
    QFile::remove(big);

    std::printf("scan_vs_grep=%.2f private_mib_1g=%lld private_mib_4g=%lld\n", grepTime / scanTime,
                private1g, private4g);
    return records == 1000 ? 0 : 1;
}
