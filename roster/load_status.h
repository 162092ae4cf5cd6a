// How loading the roster ended.
#ifndef ROSTER_LOAD_STATUS_H
#define ROSTER_LOAD_STATUS_H

enum class LoadStatus {
  Loaded,
  NotOpened,
  ReadFailed,
  FileChanged, // no reading stood, as the file kept changing
  TooManyRecords
};

// Whether loading left lines of an opened file out of the roster, which fails
// the run; a file that could not be opened has no lines to leave out.
inline constexpr bool linesLeftOut(LoadStatus status) {
  return status != LoadStatus::Loaded && status != LoadStatus::NotOpened;
}

#endif
