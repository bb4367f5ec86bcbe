#include "asking.h"

#include "record.h"

#include <algorithm>
#include <climits>

namespace
{

// The most datagrams a message can hold, which a request grants where no
// count bounds them.
constexpr std::uint32_t per_message = message_limit / recordSpan(sizeof(datagram_fields)) + 1;

} // namespace

asking startAsking(unsigned places, std::uint64_t count)
{
    return {places, count, count > 0, 0, 0, 0};
}

std::optional<std::uint32_t> nextRequest(asking &now)
{
    if (now.asked + now.filled >= now.places)
        return std::nullopt;
    std::uint32_t granted = per_message;
    if (now.bounded && now.wanted > 0)
        granted = static_cast<std::uint32_t>(std::min<std::uint64_t>(now.wanted, UINT32_MAX));
    else if (now.bounded && (now.unsent == 0 || now.asked > 0))
        return std::nullopt;
    else if (now.bounded)
        granted = 0; // a message for those granted before, which have not all come
    if (now.bounded) {
        now.wanted -= granted;
        now.unsent += granted;
    }
    ++now.asked;
    return granted;
}

void messageCame(asking &now, std::uint64_t datagrams)
{
    now.asked -= std::min(now.asked, 1u);
    ++now.filled;
    now.unsent -= std::min(now.unsent, datagrams);
}

void placeFreed(asking &now) { now.filled -= std::min(now.filled, 1u); }

void datagramReturned(asking &now)
{
    if (now.bounded)
        ++now.wanted;
}
