// SKEVLA turns live TCP traffic into pictures.
//
// main reads the options, opens a raw IPv4 socket for TCP (or a capture file
// to replay), prints a banner, creates a GLUT window and hands control to
// the GLUT loop. The idle callback sleeps until the window, the next datagram
// or a signal needs the program; a datagram is logged with its length and
// sender and becomes the next frame, which the display callback, draw, makes
// of its bytes: every group of four gives one colour and two vertices, drawn
// as points, line segments or one polygon. So there is one datagram per
// frame, and the window answers at once whether traffic comes or not. Before
// the first datagram the process gives up every capability: the socket is
// already open. The shared state is in state.h; options.cpp reads the
// command line, capture.cpp receives, replay.cpp reads files (frame.cpp
// unwraps their link layers), wait.cpp sleeps, report.cpp logs, render.cpp
// draws, shell.cpp holds the window callbacks. Start reading at main.

#include "capture.h"
#include "options.h"
#include "privileges.h"
#include "render.h"
#include "replay.h"
#include "report.h"
#include "shell.h"
#include "state.h"
#include "wait.h"

#include <GL/freeglut.h>
#include <cerrno>
#include <cstdio>
#include <cstring>

namespace
{

// Live capture: the socket with the filter and interface asked for, set up
// while the process still holds the privilege to.
void openSocket(const options &settings)
{
    sock = openCapture();
    if (sock < 0)
        die(1,
            "cannot open a raw TCP socket: %s; run as root, or give the binary the capability "
            "with: sudo setcap cap_net_raw=ep %s",
            std::strerror(errno), executablePath());
    if (settings.interface && !bindInterface(sock, settings.interface))
        die(errno == ENODEV ? 2 : 1, "cannot capture on interface '%s': %s; 'ip link' lists them",
            settings.interface, std::strerror(errno));
    char why[PCAP_ERRBUF_SIZE + 256];
    if (settings.filter && !attachFilter(sock, settings.filter, why, sizeof why))
        die(2, "%s", why);
    if (!countDrops(sock))
        die(1, "cannot count the kernel's drops: %s", std::strerror(errno));
}

// A window larger than the GL's largest viewport could not be drawn; X
// would also cut its size to 16 bits.
void checkWindowSize()
{
    GLint largest[2];
    glGetIntegerv(GL_MAX_VIEWPORT_DIMS, largest);
    if (winx > largest[0] || winy > largest[1])
        die(2,
            "a window of %d x %d pixels is larger than this GL can draw (%d x %d); ask for less "
            "with -w and -h",
            winx, winy, largest[0], largest[1]);
}

} // namespace

int main(int argc, char **argv)
{
    options settings{.mode = mode, .winx = winx, .winy = winy};
    switch (parseOptions(argc, argv, settings)) {
    case verdict::run:
        break;
    case verdict::help:
        writeLog(usage_text, std::strlen(usage_text));
        return 0;
    case verdict::refused:
        std::fputs(usage_text, stderr);
        return 2;
    }
    mode = settings.mode;
    winx = settings.winx;
    winy = settings.winy;

    if (settings.file) {
        char why[4096];
        if (const int status =
                openReplay(settings.file, settings.filter, settings.top_speed, why, sizeof why))
            die(status, "%s", why);
    } else {
        openSocket(settings);
    }

    // Before any thread starts (the GL driver starts some), so that every
    // one of them blocks the signals and only the wait receives them; after
    // opening the input, which may wait on a pipe that Ctrl-C must end.
    catchSignals();

    static const char banner[] = "SKEVLA BEGIN\n";
    writeLog(banner, sizeof banner - 1);

    // GLUT gets the program name alone: every argument is ours, and GLUT
    // would take -display or -geometry out of them.
    glutInitErrorFunc(glutFailure);
    int glut_argc = 1;
    char *glut_argv[] = {argv[0], nullptr};
    glutInit(&glut_argc, glut_argv);
    // A close ends the loop as Escape does, so both report the counts.
    glutSetOption(GLUT_ACTION_ON_WINDOW_CLOSE, GLUT_ACTION_GLUTMAINLOOP_RETURNS);
    glutInitDisplayMode(GLUT_RGB | GLUT_DOUBLE);
    glutInitWindowSize(winx, winy);
    glutInitWindowPosition(0, 0);
    glutCreateWindow("SKEVLA");
    checkWindowSize();
    unthrottleSwaps();
    init();

    // Every datagram is untrusted input, so nothing privileged is kept past
    // this point. The X connection and the GL driver have started with the
    // process's normal rights; the open socket needs none to be read.
    if (const char *failed = shedPrivileges())
        die(1, "cannot drop privileges (%s): %s; refusing to handle traffic with them", failed,
            std::strerror(errno));

    glutDisplayFunc(draw);
    glutReshapeFunc(reshape);
    glutKeyboardFunc(keyboard);
    glutIdleFunc(idle);
    glutMainLoop();
    reportCounts();
    return 0;
}
