// Packing: how the capture process hands the viewer its stream, as the
// viewer asks for it. Its requests give credit: messages it may be sent,
// and datagrams they may hold. Records go into the message being packed,
// which goes as soon as it is full, the credit for datagrams is spent, or
// the capture process would wait; while the viewer gives no credit (paused,
// or its log behind), datagrams taken from the sockets are held, in a ring
// of bounded size, and go first once it does. Pure: no I/O.
#pragma once

#include "record.h"

#include <cstddef>
#include <cstdint>
#include <memory>

struct credit {
    std::uint32_t messages;  // that may still be sent
    std::uint64_t datagrams; // that they may still hold
};

// A request for one more message of at most datagrams.
void grant(credit &given, std::uint32_t datagrams);

// Whether a record may go into a message now: a datagram needs credit for
// one, any other record a message to go in.
bool mayPack(const credit &given, bool datagram);

struct message_packer {
    alignas(8) unsigned char bytes[message_limit];
    std::size_t used; // bytes packed
    std::size_t last; // where the last record packed begins
};

// Whether a record of follows bytes (fields and what follows them) fits.
bool roomFor(const message_packer &message, std::size_t follows);

// Packs a record (which fits) and spends the credit it takes.
void pack(message_packer &message, credit &given, record_kind kind, const void *fields,
          std::size_t size, const void *bytes = nullptr, std::size_t count = 0);

// The message is sent: its credit is spent, and it is empty again.
void sent(message_packer &message, credit &given);

// Records held while no credit is given: whole records as a message holds
// them, oldest first, in a ring of capacity bytes that is made once and
// never grows.
struct held_ring {
    std::unique_ptr<unsigned char[]> bytes;
    std::size_t capacity;
    std::size_t first;     // where the oldest record begins
    std::size_t end;       // where the next one goes
    bool wrapped;          // end has gone round to the ring's start, before first
    std::size_t wrap;      // where the records before the ring's end stop, once wrapped
    std::uint64_t records; // held
};

// A ring of capacity bytes (at least a message's), of memory touched only
// as it is used.
void makeRing(held_ring &ring, std::size_t capacity);

// Whether a record of follows bytes (fields and what follows them) would
// be held.
bool roomIn(const held_ring &ring, std::size_t follows);

// Holds a record; false where the ring has no room for it.
bool hold(held_ring &ring, record_kind kind, const void *fields, std::size_t size,
          const void *bytes, std::size_t count);

// The oldest record held, or nullptr; and letting it go once it is packed.
const record_header *firstHeld(const held_ring &ring);
void release(held_ring &ring);
