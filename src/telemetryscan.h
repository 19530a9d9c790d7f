#pragma once

// The telemetry chunk search of telemetry.cpp, open to the tests.

#include <QString>
#include <QtGlobal>

#include <vector>

// File offsets of the telemetry chunks of a movie, in file order, at most MAX_SAMPLES:
// the "02tx" chunks if there is one anywhere, else the "03tx" chunks. Empty if the file
// cannot be read. pieceBytes 0 maps the file; a positive value reads it in pieces of
// that many bytes instead, as is done when a file cannot be mapped.
std::vector<qint64> telemetryChunkOffsets(const QString &path, qint64 pieceBytes = 0);
