#pragma once

// How the recorder's movie names are recognised, and what the outputs are called after
// them: each rule in one place, because the places that use them differ on purpose.

#include <QString>

namespace movienames {

// A dropped file, and a movie the split jobs accept: the name ends in exactly ".avi" or
// ".AVI" (a mixed case such as ".Avi" is no movie there).
bool hasAviExtension(const QString &name);

// A folder's movies: every name matching "*.avi" in any letter case.
extern const QString FolderPattern;
bool matchesFolderPattern(const QString &name);

// The output base of the split movies: the name cut at its last ".avi" in any letter case.
QString splitStem(const QString &name);

// The track file's name: every ".avi" in any letter case becomes ".gps"; a name without
// one gets ".gps" appended, so that the track never takes the movie's own name.
QString trackName(const QString &name);

// The GPX track beside a ".gps" track: the same name with ".gpx".
QString gpxPathBeside(const QString &trackPath);

} // namespace movienames
