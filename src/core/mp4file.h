#pragma once

// What the converter reads back from the MP4 movies it wrote.

#include <optional>

namespace mp4file {

// The movie's duration in seconds, as its movie header ("moov"/"mvhd") gives it: the length
// ffmpeg's demuxers give the movie, so that a trip's chapters start where its clips do.
// Nothing for a file that is no MP4 movie or has no such header.
std::optional<double> durationSeconds(int fd);

} // namespace mp4file
