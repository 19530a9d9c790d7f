#pragma once

// Reading the recorder's telemetry out of a movie: its "02tx"/"03tx" chunks, condensed
// into one record a second in a block of the block table. Safe on any thread: it uses
// only what it is given.

#include <QString>
#include <QtGlobal>

#include <atomic>
#include <functional>
#include <vector>

struct s_BLOCK;

namespace telemetry {

// While the movie is read, shown the records found so far, once they can only grow,
// until it returns true.
using FirstRecords = std::function<bool(const s_BLOCK &records)>;

// Fills the block's records from the movie; false when the movie is no regular file it
// could open (the block then has no records). A set `cancelled` ends the read early with
// the samples found so far.
bool read(const QString &moviePath, s_BLOCK &block, const std::atomic<bool> *cancelled = nullptr,
          const FirstRecords &firstRecords = {});

// File offsets of the telemetry chunks of a movie, in file order, at most MAX_SAMPLES:
// the "02tx" chunks if there is one anywhere, else the "03tx" chunks. Empty if the file
// cannot be read. The file is read in pieces of pieceBytes, or of the scanner's own size
// for 0.
std::vector<qint64> chunkOffsets(const QString &path, qint64 pieceBytes = 0);

} // namespace telemetry
