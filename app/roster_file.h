// The name of the roster file, which roster reads from the current directory.
#ifndef APP_ROSTER_FILE_H
#define APP_ROSTER_FILE_H

// Built in: no argument, variable or setting changes it.
inline constexpr char RosterFile[] = "sample-50-recs.csv";

#endif
