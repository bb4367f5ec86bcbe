#include "packing.h"

#include <algorithm>
#include <cstring>

void grant(credit &given, std::uint32_t datagrams)
{
    ++given.messages;
    given.datagrams += datagrams;
}

bool mayPack(const credit &given, bool datagram)
{
    return given.messages > 0 && (!datagram || given.datagrams > 0);
}

bool roomFor(const message_packer &message, std::size_t follows)
{
    return message.used + recordSpan(follows) <= sizeof message.bytes;
}

void pack(message_packer &message, credit &given, record_kind kind, const void *fields,
          std::size_t size, const void *bytes, std::size_t count)
{
    message.last = message.used;
    message.used = putRecord(message.bytes, message.used, kind, fields, size, bytes, count);
    if (kind == record_kind::datagram)
        --given.datagrams;
}

void sent(message_packer &message, credit &given)
{
    message.used = 0;
    --given.messages;
}

void makeRing(held_ring &ring, std::size_t capacity)
{
    // Not value-initialised: its pages are touched only as records come.
    ring.bytes.reset(new unsigned char[capacity]);
    ring.capacity = capacity;
    ring.first = ring.end = ring.records = 0;
    ring.wrapped = false;
}

bool roomIn(const held_ring &ring, std::size_t follows)
{
    const std::size_t span = recordSpan(follows);
    if (ring.capacity == 0)
        return false;
    if (ring.records == 0)
        return span <= ring.capacity;
    if (ring.wrapped)
        return ring.end + span <= ring.first;
    return ring.end + span <= ring.capacity || span <= ring.first;
}

bool hold(held_ring &ring, record_kind kind, const void *fields, std::size_t size,
          const void *bytes, std::size_t count)
{
    const std::size_t span = recordSpan(size + count);
    if (!roomIn(ring, size + count))
        return false;
    if (ring.records == 0) {
        ring.first = ring.end = 0;
        ring.wrapped = false;
    }
    if (!ring.wrapped && ring.end + span > ring.capacity) {
        // Past the end, it goes at the start, where the oldest has left room.
        ring.wrap = ring.end;
        ring.end = 0;
        ring.wrapped = true;
    }
    ring.end = putRecord(ring.bytes.get(), ring.end, kind, fields, size, bytes, count);
    ++ring.records;
    return true;
}

const record_header *firstHeld(const held_ring &ring)
{
    return ring.records > 0 ? reinterpret_cast<const record_header *>(ring.bytes.get() + ring.first)
                            : nullptr;
}

void release(held_ring &ring)
{
    const record_header *first = firstHeld(ring);
    if (!first)
        return;
    ring.first += recordSpan(first->size);
    --ring.records;
    if (ring.wrapped && ring.first >= ring.wrap) {
        ring.first = 0;
        ring.wrapped = false;
    }
}
