// Counts: the line on standard error that says what the run has seen, at
// its end and whenever SIGUSR1 asks. A line is posted, and goes once
// standard error takes it without waiting, which the loop waits for with
// everything else; a later one replaces one still posted.
#pragma once

#include <climits>
#include <cstddef>

struct tally;

// Room for a counts line, a file name of PATH_MAX included.
inline constexpr std::size_t counts_line_limit = PATH_MAX + 128;

// "skevla: N datagrams received, M dropped by the kernel", with ", W not
// yet taken" before the drops where the kernel passed more than were
// logged or dropped; or for a replay "skevla: N datagrams received from
// FILE, K packets skipped"; with a newline. Returns its length. Safe in a signal handler: it
// neither allocates nor locks.
std::size_t formatCounts(char *out, std::size_t size, const tally &seen);

// Posts the counts line of seen.
void postCounts(const tally &seen);
bool countsPosted();

// Writes what of the posted line standard error takes now. A standard
// error that fails (a full disk, a reader gone) will take none ever: the
// line is given up, and countsLost says so from then on.
void deliverCounts();
bool countsLost();
