// Clip: offsets into a capture, counted from its first record, as --from,
// --to and the info line write them. Pure.
#pragma once

#include <cstddef>
#include <cstdint>

// An offset as ffmpeg's -ss and -to take one: [HH:]MM:SS[.frac] (minutes
// and seconds under 60, hours as many as wanted), or seconds with a
// fraction and an optional unit, s, ms or us ("90", "1.5", "250ms"). True
// with nanoseconds set; false for anything else, a negative time or one
// past what 64 bits hold.
bool parseOffset(const char *text, std::int64_t &nanoseconds);

// H:MM:SS.t (tenths), as the info line and the messages write an offset;
// negative ones as 0. Returns the characters written, the text cut to fit.
std::size_t formatOffset(char *out, std::size_t size, std::int64_t nanoseconds);
