// SKEVLA turns live TCP traffic into pictures.
//
// main reads the options (-m mode letter, -h height, -w width), opens a raw
// IPv4 socket for TCP, prints a banner, creates a GLUT window and hands
// control to the GLUT loop for good. Every frame the display callback, draw,
// blocks in grabPacket until the kernel hands over the next TCP datagram,
// logs its length and sender, and draws its bytes: every group of four bytes
// gives one colour and two vertices, drawn as points, line segments or one
// polygon. So there is one datagram per frame, and keys and resizes are
// served between datagrams. Before the first datagram the process gives up
// every capability: the socket is already open. All state is the six globals
// in state.h; capture.cpp receives, render.cpp draws, shell.cpp holds the
// command line and the window callbacks. Start reading at main.

#include "capture.h"
#include "render.h"
#include "shell.h"
#include "state.h"

#include <GL/freeglut.h>
#include <cerrno>
#include <cstdio>
#include <cstring>

int main(int argc, char **argv)
{
    switch (parseOptions(argc, argv, mode, winx, winy)) {
    case verdict::run:
        break;
    case verdict::help:
        writeLog(usage_text, std::strlen(usage_text));
        return 0;
    case verdict::refused:
        std::fputs(usage_text, stderr);
        return 2;
    }

    sock = openCapture();
    if (sock < 0)
        die("cannot open a raw TCP socket: %s; run as root, or give the binary the "
            "capability with: sudo setcap cap_net_raw=ep skevla",
            std::strerror(errno));

    static const char banner[] = "SKEVLA BEGIN\n";
    writeLog(banner, sizeof banner - 1);

    glutInitErrorFunc(glutFailure);
    glutInit(&argc, argv);
    glutInitDisplayMode(GLUT_RGB | GLUT_DOUBLE);
    glutInitWindowSize(winx, winy);
    glutInitWindowPosition(0, 0);
    glutCreateWindow("SKEVLA");
    unthrottleSwaps();
    init();

    // Every datagram is untrusted input, so nothing privileged is kept past
    // this point. The X connection and the GL driver have started with the
    // process's normal rights; the open socket needs none to be read.
    if (const char *failed = shedPrivileges())
        die("cannot drop privileges (%s): %s; refusing to handle traffic with them", failed,
            std::strerror(errno));

    glutDisplayFunc(draw);
    glutReshapeFunc(reshape);
    glutKeyboardFunc(keyboard);
    glutIdleFunc(idle);
    glutMainLoop();
    return 0;
}
