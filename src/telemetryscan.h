#pragma once

// The telemetry chunk search of telemetry.cpp, open to the tests.

#include <QString>
#include <QtGlobal>

#include <vector>

// File offsets of the telemetry chunks of a movie, in file order, at most MAX_SAMPLES:
// the "02tx" chunks if there is one anywhere, else the "03tx" chunks. Empty if the file
// cannot be read. The file is read in pieces of pieceBytes, or of the scanner's own size
// for 0.
std::vector<qint64> telemetryChunkOffsets(const QString &path, qint64 pieceBytes = 0);
