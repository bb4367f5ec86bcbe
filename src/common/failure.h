// Failure: how every step that can fail says so, in every process: the
// exit status it implies and one line saying why, with the remedy where
// there is one. The line has room for a filter expression quoted whole.
#pragma once

#include <cstddef>

inline constexpr std::size_t cause_limit = 65536;

struct failure {
    int status;            // 1 for a failure, 2 for a bad command line
    char why[cause_limit]; // the cause, without the program's name
};

// Sets out's status and cause, cut to fit, and returns false, so a step
// can end with `return fail(out, 1, ...)`. The cause is made one line of
// printable ASCII: any other byte it would hold (a newline typed into a
// filter, a file name's) is written as an escape, \n, \t or \xHH.
bool fail(failure &out, int status, const char *format, ...) __attribute__((format(printf, 3, 4)));

// The path of the running binary, for a remedy the user can paste as it
// stands; "skevla" when the kernel does not tell.
const char *executablePath();

// text as one word for the shell: as it is when it holds only characters
// the shell leaves alone, else in single quotes. Returns out.
const char *shellWord(const char *text, char *out, std::size_t size);
