/* The benchmark's sender: count TCP datagrams to 127.0.0.1, at rate a
 * second (0: as fast as it can), through a raw socket with the IP header
 * written here (the kernel fills in the total length). Their TCP data
 * offset is below 5, so the stack drops them without an answer. SIZE is a
 * size in bytes (40 to 65535), imix (7 of 40 bytes, 4 of 576, 1 of 1500,
 * over and over) or random (20 to 65535, the same every run). Prints how
 * many it sent and over how many seconds.
 *
 *     skevla_sender COUNT SIZE RATE
 */
#define _GNU_SOURCE
#include <arpa/inet.h>
#include <netinet/in.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <time.h>

enum { burst = 64 };

static double now(void)
{
    struct timespec time;
    clock_gettime(CLOCK_MONOTONIC, &time);
    return time.tv_sec + time.tv_nsec / 1e9;
}

int main(int argc, char **argv)
{
    if (argc != 4) {
        fputs("usage: skevla_sender COUNT SIZE RATE\n", stderr);
        return 2;
    }
    const long count = atol(argv[1]), size = atol(argv[2]);
    const int imix = strcmp(argv[2], "imix") == 0, random = strcmp(argv[2], "random") == 0;
    const double rate = atof(argv[3]);
    if (count <= 0 || (!imix && !random && (size < 40 || size > 65535))) {
        fputs("skevla_sender: COUNT above 0, SIZE from 40 to 65535, imix or random\n", stderr);
        return 2;
    }
    static unsigned char datagram[65535];
    datagram[0] = 0x45;
    datagram[8] = 64;
    datagram[9] = IPPROTO_TCP;
    const in_addr_t loopback = htonl(INADDR_LOOPBACK);
    memcpy(datagram + 12, &loopback, 4);
    memcpy(datagram + 16, &loopback, 4);
    for (long at = 20; at < (long)sizeof datagram; ++at)
        datagram[at] = (unsigned char)(at * 37);
    datagram[32] &= 0x4F; /* a TCP data offset below 5 */

    const int raw = socket(AF_INET, SOCK_RAW, IPPROTO_RAW);
    if (raw < 0) {
        perror("skevla_sender: socket");
        return 1;
    }
    struct sockaddr_in to = {.sin_family = AF_INET, .sin_addr.s_addr = loopback};
    struct iovec parts[burst];
    struct mmsghdr messages[burst];
    static const long mix[] = {40, 40, 40, 40, 40, 40, 40, 576, 576, 576, 576, 1500};
    unsigned long seed = 7;
    for (int n = 0; n < burst; ++n) {
        parts[n] = (struct iovec){datagram, (size_t)size};
        messages[n] = (struct mmsghdr){.msg_hdr = {.msg_name = &to,
                                                   .msg_namelen = sizeof to,
                                                   .msg_iov = &parts[n],
                                                   .msg_iovlen = 1}};
    }
    /* A millisecond's worth at a time, or as many as one call takes. */
    const long each = rate <= 0             ? burst
                      : rate / 1000 < 1     ? 1
                      : rate / 1000 > burst ? burst
                                            : (long)(rate / 1000);
    const double start = now();
    long sent = 0;
    while (sent < count) {
        if (rate > 0) {
            const double due = start + sent / rate;
            const double wait = due - now();
            if (wait > 0) {
                const struct timespec pause = {(time_t)wait, (long)((wait - (time_t)wait) * 1e9)};
                nanosleep(&pause, NULL);
            }
        }
        const long left = count - sent;
        const int batch = (int)(left < each ? left : each);
        for (int n = 0; n < batch && (imix || random); ++n) {
            seed = seed * 6364136223846793005ul + 1442695040888963407ul;
            parts[n].iov_len = imix ? (size_t)mix[(sent + n) % 12] : 20 + (seed >> 33) % 65516;
        }
        const int taken = sendmmsg(raw, messages, (unsigned)batch, 0);
        if (taken > 0)
            sent += taken;
    }
    printf("%ld %.3f\n", sent, now() - start);
    return 0;
}
