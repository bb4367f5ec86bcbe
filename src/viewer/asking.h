// Asking: what the viewer asks the capture process for. It keeps a few
// places for messages of the stream (one being taken from while the next
// ones come) and asks for a message for each place free; with -c, every
// datagram still wanted is granted at once and no more, and while some of
// them have not come, one more message is asked for them. So it never has
// more in hand than it asked for, and the capture process takes from its
// input only what the viewer can take. Pure.
#pragma once

#include <cstdint>
#include <optional>

struct asking {
    unsigned places;      // messages it may keep at once
    std::uint64_t wanted; // of -c, datagrams not yet asked for
    bool bounded;         // -c bounds them
    std::uint64_t unsent; // of those asked for, datagrams that have not come
    unsigned asked;       // messages asked for and not yet come
    unsigned filled;      // messages come and not yet taken whole
};

// Asking for places messages at once, and for count datagrams in all (-c;
// 0 for no end).
asking startAsking(unsigned places, std::uint64_t count);

// The next request to make now, as how many datagrams its message may
// hold, or none while every place is asked for or full, or all that is
// wanted has been asked for.
std::optional<std::uint32_t> nextRequest(asking &now);

// A message of the stream came, with datagrams datagrams in it; one in hand
// has been taken whole, and its place is free.
void messageCame(asking &now, std::uint64_t datagrams);
void placeFreed(asking &now);

// A datagram that came was passed over unshown: -c wants another.
void datagramReturned(asking &now);
