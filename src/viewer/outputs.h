// Outputs: the files a run writes at a path it was given, -o's recording
// and --video's video. Each is opened once, at start, as the user the run
// is for and before any privilege is given up, by one rule: never through
// a symbolic link, never a FIFO, a device or a directory, never another
// user's file or one with other names, so that a run started as root
// writes only the files it was told to write, where it was told.
#pragma once

#include "failure.h"

#include <sys/types.h>

// Before any is opened: -o's recording and --video's video, where they are
// there, are files the run's user (owner) may write by openOutput's rule,
// and with -r's capture file (nullptr where not given, "-" for standard
// input) they name three files: the same file where it is there, else the
// same name in the same directory. Any other is refused with status 2 and
// why, as the command line is.
bool checkOutputs(const char *record, const char *video, const char *file, uid_t owner,
                  failure &why);

// Opens path to be written, for the option named (what, "-o"): an existing
// regular file of the user's, with no other name, opened as it is and
// left as it is, or a new one, created empty with mode 0600. Returns its
// descriptor, or -1 with why: status 2 for a file of another kind or
// owner, 1 (cannot, "cannot record to") for one that cannot be opened.
int openOutput(const char *what, const char *cannot, const char *path, failure &why);

// A run refused before it began: the files openOutput made are removed
// again, if still empty and where this process still may (its id may
// change the directory, and Landlock is not yet entered). Safe in a signal
// handler. Once the run has begun (keepOutputs), nothing is removed.
void withdrawOutputs();
void keepOutputs();
