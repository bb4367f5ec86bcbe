// Snapshot: the key s saves the window, pixel for pixel, as a PNG in the
// current directory or the one --snapshots names. The sandbox still forbids
// writing anywhere else: Landlock allows creating and writing regular files
// beneath that one directory (and writing the device files under /dev a GL
// driver opens) and nothing else, and only where it holds does the seccomp
// filter let through an open that creates a new file, never one that
// truncates. Without Landlock, s says so and writes nothing.
#pragma once

#include "failure.h"

// Checks the directory (nullptr: the current one) and confines file
// creation to it with Landlock. Before the GL driver starts threads, which
// inherit the confinement, and after no_new_privs. False, status 2, for a
// directory named that is not there or not writable. Landlock missing or
// refused is no failure: snapshots are then off. Without the sandbox
// (--no-sandbox) nothing is confined.
bool prepareSnapshots(const char *directory, bool sandbox, failure &why);

// Whether files may be created beneath the directory (Landlock holds).
bool snapshotsAllowed();

// s: the next frame drawn is saved.
void takeSnapshot();
bool snapshotWanted();

// Writes the frame's pixels (rows bottom first, as the GL reads them, RGB)
// to the next free skevla-YYYYmmdd-HHMMSS-N.png and says so, or why not, in
// one line on standard error.
void saveSnapshot(const unsigned char *pixels, int width, int height);
