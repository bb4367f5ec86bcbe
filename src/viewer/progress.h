// Progress: a replay rendered into a video as fast as it goes is long
// work. While standard error is a terminal and the log goes elsewhere, one
// line there, rewritten in place, tells how far through the file it is and
// how much video is made, until the replay ends; any other line on
// standard error first takes its place. Nothing of it reaches a pipe or a
// file, nor a terminal the log scrolls.
#pragma once

// Whether the line is wanted: it is shown only on a terminal, and only
// where standard output is not one.
void startProgress(bool wanted);

// The replay has ended: the line goes, for good.
void endProgress();

// Rewrites the line, a few times a second at most: fraction of the file
// read (-1 when not known), made nanoseconds of video.
void showProgress(long long now, double fraction, long long made);

// Takes the line away, if shown. Safe in a signal handler.
void clearProgress();

// The line's text. Pure.
int formatProgress(char *out, int size, double fraction, long long made);
