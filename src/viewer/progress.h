// Progress: a replay rendered into a video as fast as it goes is long
// work. While standard error is a terminal, one line there, rewritten in
// place, tells how far through the file it is and how much video is made;
// any other line on standard error first takes its place. Nothing of it
// reaches a pipe or a file.
#pragma once

// Whether the line is wanted: it is shown only on a terminal.
void startProgress(bool wanted);

// Rewrites the line, a few times a second at most: fraction of the file
// read (-1 when not known), made nanoseconds of video.
void showProgress(long long now, double fraction, long long made);

// Takes the line away, if shown. Safe in a signal handler.
void clearProgress();

// The line's text. Pure.
int formatProgress(char *out, int size, double fraction, long long made);
