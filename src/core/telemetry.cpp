#include "telemetry.h"

#include "globals.h"

#include <QFile>
#include <QtEndian>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <fcntl.h>
#include <functional>
#include <memory>
#include <sys/stat.h>
#include <unistd.h>

#ifdef __SSE2__
#include <emmintrin.h>
#endif

// A telemetry chunk: "02tx" or "03tx", the size 72 (its first byte is part of the
// signature), then 72 bytes of data of which the last 32 are read.
namespace {

constexpr int ChunkBytes = 80;
constexpr int SignatureBytes = 5;
constexpr int ChunkStep = 8; // the next chunk is searched from 8 bytes on
// Small enough that a piece is still in the processor cache when it is searched.
constexpr qint64 StreamPieceBytes = qint64(256) << 10;

struct ChunkSearch
{
    // Told of the "02tx" chunks found so far after each piece that found more.
    std::function<void(const std::vector<qint64> &)> primaryGrew;
    std::vector<qint64> primary;  // "02tx" chunks
    std::vector<qint64> fallback; // "03tx" chunks, only needed while no "02tx" is found
    qint64 nextPrimary = 0;
    qint64 nextFallback = 0;
};

struct Sample
{
    float g[3];
    quint32 flags;
    float knots;
    float latitude;
    float longitude;
    qint32 time;
};

} // namespace

static bool primaryComplete(const ChunkSearch &search)
{
    return search.primary.size() >= size_t(MAX_SAMPLES);
}

// offset holds "0?txH"; streamDigit is the '?'.
static void takeSignature(ChunkSearch &search, qint64 offset, uchar streamDigit)
{
    if (streamDigit == '2' && offset >= search.nextPrimary) {
        search.primary.push_back(offset);
        search.nextPrimary = offset + ChunkStep;
    } else if (streamDigit == '3' && offset >= search.nextFallback && search.primary.empty() &&
               search.fallback.size() < size_t(MAX_SAMPLES)) {
        search.fallback.push_back(offset);
        search.nextFallback = offset + ChunkStep;
    }
}

static bool signatureAt(const uchar *p)
{
    return p[0] == '0' && p[2] == 't' && p[3] == 'x' && p[4] == 0x48;
}

// Looks at the signatures starting at data[from, to); the bytes up to to + 4 are readable.
static void scanScalar(ChunkSearch &search, const uchar *data, qint64 from, qint64 to, qint64 base)
{
    for (qint64 i = from; i < to && !primaryComplete(search); ++i)
        if (signatureAt(data + i))
            takeSignature(search, base + i, data[i + 1]);
}

#ifdef __SSE2__
// Bit j set: data[j + 3] == 'x' and data[j + 4] == 0x48. Random bytes match both at one
// position in 65536, so the full check of the rare candidates costs nothing.
static unsigned tailMatches(const uchar *data, __m128i x, __m128i size)
{
    const __m128i at3 = _mm_loadu_si128(reinterpret_cast<const __m128i *>(data + 3));
    const __m128i at4 = _mm_loadu_si128(reinterpret_cast<const __m128i *>(data + 4));
    return unsigned(
        _mm_movemask_epi8(_mm_and_si128(_mm_cmpeq_epi8(at3, x), _mm_cmpeq_epi8(at4, size))));
}
#endif

// Offsets of the signatures starting in data[0, starts) go to search as base + offset;
// data holds starts + 4 bytes, so a signature starting in the last 4 is whole.
static void scanPiece(ChunkSearch &search, const uchar *data, qint64 starts, qint64 base)
{
    qint64 i = 0;
#ifdef __SSE2__
    const __m128i x = _mm_set1_epi8('x');
    const __m128i size = _mm_set1_epi8(0x48);
    constexpr qint64 Block = 64;
    for (; i + Block <= starts && !primaryComplete(search); i += Block) {
        const unsigned m0 = tailMatches(data + i, x, size);
        const unsigned m1 = tailMatches(data + i + 16, x, size);
        const unsigned m2 = tailMatches(data + i + 32, x, size);
        const unsigned m3 = tailMatches(data + i + 48, x, size);
        if ((m0 | m1 | m2 | m3) != 0)
            scanScalar(search, data, i, i + Block, base);
    }
#endif
    scanScalar(search, data, i, starts, base);
}

static bool readFully(int fd, uchar *buffer, qint64 bytes, qint64 offset, qint64 &got)
{
    got = 0;
    while (got < bytes) {
        const ssize_t n = pread(fd, buffer + got, size_t(bytes - got), off_t(offset + got));
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return false;
        if (n == 0)
            break;
        got += n;
    }
    return true;
}

// The file is read in pieces, never mapped: a movie shortened while it is read (a card
// pulled, a copy still running) then ends the read early instead of killing the program.
// The last 4 bytes of a piece are kept in front of the next one, so a signature across
// the boundary is still found, and only once.
static bool scanStreamed(ChunkSearch &search, int fd, qint64 pieceBytes,
                         const std::atomic<bool> *cancelled)
{
    constexpr qint64 Carry = SignatureBytes - 1;
    std::vector<uchar> buffer(size_t(Carry + pieceBytes));
    qint64 held = 0;   // bytes at the front of the buffer carried from the last piece
    qint64 offset = 0; // file offset of buffer[held]
    while (!primaryComplete(search) && !(cancelled && *cancelled)) {
        qint64 got = 0;
        if (!readFully(fd, buffer.data() + held, pieceBytes, offset, got))
            return false;
        const qint64 bytes = held + got;
        const size_t primaryBefore = search.primary.size();
        if (bytes >= SignatureBytes)
            scanPiece(search, buffer.data(), bytes - Carry, offset - held);
        if (search.primaryGrew && search.primary.size() > primaryBefore)
            search.primaryGrew(search.primary);
        if (got < pieceBytes)
            return true;
        held = std::min(bytes, Carry);
        std::memmove(buffer.data(), buffer.data() + bytes - held, size_t(held));
        offset += got;
    }
    return true;
}

static std::vector<qint64>
findChunks(int fd, qint64 fileSize, qint64 pieceBytes, const std::atomic<bool> *cancelled = nullptr,
           std::function<void(const std::vector<qint64> &)> primaryGrew = {})
{
    ChunkSearch search;
    search.primaryGrew = std::move(primaryGrew);
    // Pieces no larger than the file: an empty or small movie needs no large buffer.
    const qint64 piece =
        pieceBytes > 0 ? pieceBytes : std::clamp(fileSize, qint64(1), StreamPieceBytes);
    // A larger read-ahead keeps a card reader busy while a piece is searched.
    posix_fadvise(fd, 0, 0, POSIX_FADV_SEQUENTIAL);
    if (!scanStreamed(search, fd, piece, cancelled))
        return {};
    return search.primary.empty() ? search.fallback : search.primary;
}

// A regular file open for reading, or -1. Non-blocking, so that a dropped named pipe
// cannot hang the window in open(); reads from a regular file ignore the flag.
static int openMovie(const QString &path, qint64 &fileSize)
{
    const int fd = open(QFile::encodeName(path).constData(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    struct stat status;
    if (fd >= 0 && fstat(fd, &status) == 0 && S_ISREG(status.st_mode)) {
        fileSize = status.st_size;
        return fd;
    }
    if (fd >= 0)
        close(fd);
    return -1;
}

std::vector<qint64> telemetry::chunkOffsets(const QString &path, qint64 pieceBytes)
{
    qint64 fileSize = 0;
    const int fd = openMovie(path, fileSize);
    if (fd < 0)
        return {};
    std::vector<qint64> offsets = findChunks(fd, fileSize, pieceBytes);
    ::close(fd);
    return offsets;
}

static float floatAt(const uchar *p)
{
    const quint32 bits = qFromLittleEndian<quint32>(p);
    float value;
    std::memcpy(&value, &bits, sizeof value);
    return value;
}

static Sample decodeSample(const uchar *chunk)
{
    Sample s;
    for (int j = 0; j < 3; ++j)
        s.g[j] = floatAt(chunk + 48 + 4 * j);
    s.flags = qFromLittleEndian<quint32>(chunk + 60);
    s.knots = floatAt(chunk + 64);
    s.latitude = floatAt(chunk + 68);
    s.longitude = floatAt(chunk + 72);
    s.time = qFromLittleEndian<qint32>(chunk + 76);
    return s;
}

// Appends the chunks at offsets[from...] that lie whole in the file; one cut off by the end
// of the file is left out, and so is everything after it.
static void readSamples(int fd, qint64 fileSize, const std::vector<qint64> &offsets,
                        std::vector<Sample> &samples, size_t from = 0)
{
    samples.reserve(offsets.size());
    for (size_t i = from; i < offsets.size(); ++i) {
        uchar chunk[ChunkBytes];
        qint64 got = 0;
        if (offsets[i] > fileSize - ChunkBytes ||
            !readFully(fd, chunk, ChunkBytes, offsets[i], got) || got < ChunkBytes)
            break;
        samples.push_back(decodeSample(chunk));
    }
}

// ddmm.mmmm (dddmm.mmmm) to degrees, in the recorder's single precision. The whole
// degrees are int(v / 100.0f), which is undefined for NaN, infinities and quotients
// beyond int; std::trunc in double gives the same integer for every quotient an int
// holds, and 100 * it is exact in double, so normal values come out bit for bit the same.
static float degreesFromDdmm(float v)
{
    const double whole = std::trunc(double(v / 100.0f));
    const float minutes = v - float(100.0 * whole);
    return float(whole + double(minutes) / 60.0);
}

static void closeRecord(s_BLOCK &block, int record, const float sums[3], int count)
{
    block.gForceX[record] = sums[0] / float(count);
    block.gForceY[record] = sums[1] / float(count);
    block.gForceZ[record] = sums[2] / float(count);
}

static void openRecord(s_BLOCK &block, int record, const Sample &s)
{
    const float latitude = degreesFromDdmm(s.latitude);
    const float longitude = degreesFromDdmm(s.longitude);
    block.recTime[record] = s.time;
    block.latitude[record] = (s.flags & 0x01) ? latitude : -latitude;
    block.longitude[record] = (s.flags & 0x04) ? longitude : -longitude;
    block.speedKmh[record] = float(double(s.knots) * 1.852);
}

// One record per run of samples sharing a second, with the first sample's position and
// speed and the mean g values of the run. Leading samples of second 0 belong to no record.
// The first sample that would open a record beyond MAX_RECORDS ends the movie's
// telemetry: everything after it is dropped, so the last record keeps the mean of its run.
static int groupIntoRecords(s_BLOCK &block, const std::vector<Sample> &samples)
{
    int records = 0;
    qint32 previousTime = 0;
    float sums[3] = {0, 0, 0};
    int count = 0;
    for (const Sample &s : samples) {
        if (s.time == previousTime) {
            if (records == 0)
                continue;
            for (int j = 0; j < 3; ++j)
                sums[j] += s.g[j];
            ++count;
            continue;
        }
        if (records == MAX_RECORDS)
            break;
        if (records > 0)
            closeRecord(block, records - 1, sums, count);
        openRecord(block, records, s);
        std::copy(s.g, s.g + 3, sums);
        count = 1;
        ++records;
        previousTime = s.time;
    }
    if (records > 0)
        closeRecord(block, records - 1, sums, count);
    return records;
}

// Once a "02tx" chunk is found the layout is settled: the records its chunks give so far
// stay the movie's first records, whatever comes later. Shown to `firstRecords` after each
// piece that found more, until it has seen enough.
static std::function<void(const std::vector<qint64> &)>
firstRecordsWatcher(int fd, qint64 fileSize, const telemetry::FirstRecords &firstRecords)
{
    struct State
    {
        std::vector<Sample> samples;
        std::unique_ptr<s_BLOCK> records = std::make_unique<s_BLOCK>();
        bool satisfied = false;
    };
    return [fd, fileSize, firstRecords,
            state = std::make_shared<State>()](const std::vector<qint64> &primary) {
        if (state->satisfied)
            return;
        readSamples(fd, fileSize, primary, state->samples, state->samples.size());
        state->records->nRecords = groupIntoRecords(*state->records, state->samples);
        state->satisfied = firstRecords(*state->records);
    };
}

bool telemetry::read(const QString &moviePath, s_BLOCK &block, const std::atomic<bool> *cancelled,
                     const FirstRecords &firstRecords)
{
    block.nRecords = 0;
    qint64 fileSize = 0;
    const int fd = openMovie(moviePath, fileSize);
    if (fd < 0)
        return false;
    std::vector<Sample> samples;
    readSamples(
        fd, fileSize,
        findChunks(fd, fileSize, 0, cancelled,
                   firstRecords ? firstRecordsWatcher(fd, fileSize, firstRecords) : nullptr),
        samples);
    ::close(fd);
    block.nRecords = groupIntoRecords(block, samples);
    return true;
}
