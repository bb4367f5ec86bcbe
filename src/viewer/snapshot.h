// Snapshot: the key s saves the picture on screen, pixel for pixel, as a
// PNG in the current directory or the one --snapshots names. The viewer
// itself writes no file: it hands the pixels to the keeper, skevla-keeper,
// which it starts here, before it boxes itself, and it never waits for it.
#pragma once

#include "failure.h"

// Starts the keeper for the directory (nullptr: the current one). False,
// status 2, for a directory named that is not there or not writable; the
// current one need not be, and s then says why it cannot save.
bool startSnapshots(const char *directory, bool sandbox, failure &why);

// s: the picture is saved at the next paint, which the caller asks for;
// without a keeper, says why not at once.
void takeSnapshot();
bool snapshotWanted();

// Hands the painted picture (rows bottom first, as the GL reads them, RGB)
// to the keeper, once for each s since the last, if it can take it now;
// says why not when it cannot.
void saveSnapshot(const unsigned char *pixels, int width, int height);
