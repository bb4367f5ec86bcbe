// Snapshot: the key s saves the picture on screen, pixel for pixel, as a
// PNG in the current directory or the one --snapshots names. The viewer
// itself writes no file: it hands the pixels to the keeper, skevla-keeper,
// which it starts here, before it boxes itself, and it never waits for it.
#pragma once

#include "failure.h"

// Settles where s saves: the directory named (nullptr: the current one),
// which this process's user, the keeper's, must be able to write. False,
// status 2, for a directory named that is not there or not writable; the
// current one need not be, and s then says why it cannot save.
bool settleSnapshots(const char *directory, failure &why);

// Starts the keeper for pictures of at most largest_width by
// largest_height pixels: before Landlock, whose domain it would inherit.
// False with why.
bool startKeeper(int largest_width, int largest_height, bool sandbox, failure &why);

// s: the picture is saved at the next paint, which the caller asks for;
// without a keeper, says why not at once.
void takeSnapshot();
bool snapshotWanted();

// Hands the painted picture (rows bottom first, as the GL reads them, RGB)
// to the keeper, once for each s since the last, if it can take it now;
// says why not when it cannot.
void saveSnapshot(const unsigned char *pixels, int width, int height);
