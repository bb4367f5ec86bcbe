#include "capture.h"

#include "state.h"

#include <GL/freeglut_std.h>
#include <arpa/inet.h>
#include <cerrno>
#include <cstdio>
#include <sys/socket.h>
#include <unistd.h>

int openCapture() { return socket(AF_INET, SOCK_RAW, IPPROTO_TCP); }

int formatLog(char *out, std::size_t size, int count, in_addr source)
{
    return std::snprintf(out, size, "Bytes received --> %5d\nSource address --> %s\n", count,
                         inet_ntoa(source));
}

void writeLog(const char *text, std::size_t length)
{
    while (length > 0) {
        const ssize_t written = write(STDOUT_FILENO, text, length);
        if (written < 0) {
            if (errno == EINTR)
                continue;
            return; // nowhere left to log to; keep drawing
        }
        text += written;
        length -= static_cast<std::size_t>(written);
    }
}

void grabPacket()
{
    sockaddr_in source{}; // stays 0.0.0.0 when the receive fails
    socklen_t source_length = sizeof source;

    // Requested before the receive blocks, so the next frame is already due
    // when this one has been drawn.
    glutPostRedisplay();
    bytes_recieved = static_cast<std::int32_t>(recvfrom(
        sock, buffer, sizeof buffer, 0, reinterpret_cast<sockaddr *>(&source), &source_length));

    char lines[128];
    const int length = formatLog(lines, sizeof lines, bytes_recieved, source.sin_addr);
    writeLog(lines, static_cast<std::size_t>(length));
}
