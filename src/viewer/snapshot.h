// Snapshot: the key s saves the picture on screen, pixel for pixel, as a
// PNG in the current directory or the one --snapshots names. The viewer
// itself writes no file: it hands the pixels to the keeper, skevla-keeper,
// which it starts here, before it boxes itself, and it never waits for it.
#pragma once

#include "failure.h"

#include <poll.h>

struct options;

// Starts the keeper for the directory --snapshots names (else the current
// one), with the run's other children: before the viewer gives up its
// identity, so that it can run a program from a directory only that
// identity may search, and before Landlock, whose domain it would inherit.
// False with why: status 2 for a directory named that is not there.
bool startKeeper(const options &settings, failure &why);

// Checks, as the viewer's user (the keeper's), whether s can save there.
// False, status 2, for a directory named that is not writable; the current
// one need not be, and s then says why it cannot save.
bool checkSnapshots(const char *directory, failure &why);

// Tells the keeper the largest picture it may be asked for, once X has
// told the screen's size; or, with no window, lets it go.
void limitSnapshots(int largest_width, int largest_height);
void closeKeeper();

// The keeper's channel to wait on for its answers, and its end; and
// taking them. A keeper that ended of itself is said to have, once it is
// reaped, unless it ended well.
void watchKeeper(pollfd &wait_on);
void answerKeeper();
void sayKeeperEnd();

// s: the picture is saved at the next paint, which the caller asks for;
// without a keeper, says why not at once.
void takeSnapshot();
bool snapshotWanted();

// Hands the painted picture (rows bottom first, as the GL reads them, RGB)
// to the keeper, once for each s since the last, if it can take it now;
// says why not when it cannot.
void saveSnapshot(const unsigned char *pixels, int width, int height);
