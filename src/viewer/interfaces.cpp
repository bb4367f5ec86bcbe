#include "interfaces.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <ifaddrs.h>
#include <linux/if_packet.h>
#include <net/if.h>
#include <utility>
#include <vector>

int formatInterface(char *out, std::size_t size, unsigned index, const char *name, unsigned flags)
{
    char shown[40] = "";
    for (const auto &[bit, word] : {std::pair{IFF_UP, "Up"}, std::pair{IFF_RUNNING, "Running"},
                                    std::pair{IFF_LOOPBACK, "Loopback"}})
        if (flags & static_cast<unsigned>(bit))
            std::snprintf(shown + std::strlen(shown), sizeof shown - std::strlen(shown), "%s%s",
                          shown[0] ? ", " : "", word);
    return std::snprintf(out, size, "%u.%s [%s]\n", index, name, shown[0] ? shown : "none");
}

bool listInterfaces(char *out, std::size_t size)
{
    ifaddrs *all;
    if (getifaddrs(&all) != 0)
        return false;
    // Every interface has one link-layer entry, whatever its addresses.
    std::vector<std::pair<unsigned, const ifaddrs *>> links;
    for (const ifaddrs *entry = all; entry; entry = entry->ifa_next)
        if (entry->ifa_addr && entry->ifa_addr->sa_family == AF_PACKET)
            links.emplace_back(
                static_cast<unsigned>(
                    reinterpret_cast<const sockaddr_ll *>(entry->ifa_addr)->sll_ifindex),
                entry);
    std::sort(links.begin(), links.end(),
              [](const auto &a, const auto &b) { return a.first < b.first; });
    std::size_t used = 0;
    out[0] = '\0';
    for (const auto &[index, entry] : links)
        if (used < size)
            used += static_cast<std::size_t>(
                formatInterface(out + used, size - used, index, entry->ifa_name, entry->ifa_flags));
    freeifaddrs(all);
    return true;
}
