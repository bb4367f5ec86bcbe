// SKEVLA turns live TCP traffic into pictures.
//
// main reads the options, opens its sockets while it may (a raw IPv4 socket
// for TCP, a packet socket for IPv6), then
// gives up every privilege (under sudo, also root's id) before anything that
// reads the environment or untrusted bytes starts: a capture file to replay,
// X, the GL driver. It prints a banner, creates a GLUT window, enters a
// seccomp sandbox and hands control to the GLUT loop. Its idle callback
// sleeps in one wait on the window, the source of datagrams, the signals
// and, while the log's reader lags, standard output; a datagram taken is
// logged with its length and sender and becomes the next frame, which the
// display callback, draw, makes of its bytes: every group of four gives one
// colour and two vertices, drawn as points, line segments or one polygon.
// So there is one datagram per frame, and the window answers at once whether
// traffic comes or not. Data flows one way: options.cpp reads the command
// line; privileges.cpp and sandbox.cpp take away what is not needed;
// capture.cpp (the socket) and replay.cpp (files, with records.cpp finding
// their records and frame.cpp unwrapping their link layers) are the two
// sources of source.h; loop.cpp waits and takes; report.cpp logs and counts;
// render.cpp draws; shell.cpp holds the window callbacks; state.h the shared
// state. Start reading at main.

#include "capture.h"
#include "loop.h"
#include "options.h"
#include "privileges.h"
#include "render.h"
#include "replay.h"
#include "report.h"
#include "sandbox.h"
#include "shell.h"
#include "source.h"
#include "state.h"

#include <GL/freeglut.h>
#include <GL/glx.h>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

namespace
{

// A standard descriptor left closed would be taken by the next one opened
// (the socket, the X connection), and the log written into it.
void fillStandardDescriptors()
{
    for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd)
        if (fcntl(fd, F_GETFD) < 0 && open("/dev/null", O_RDWR) != fd)
            std::_Exit(1);
}

// A capture socket, or the end with the reason and, when it is privilege,
// the remedy.
int openOrDie(int (*open_socket)(), const char *what)
{
    const int opened = open_socket();
    if (opened < 0 && (errno == EPERM || errno == EACCES)) {
        char binary[2 * 4096];
        die(1,
            "cannot open a %s: %s; run as root, or give the binary the capability with: sudo "
            "setcap cap_net_raw=ep %s",
            what, std::strerror(errno), shellWord(executablePath(), binary, sizeof binary));
    }
    if (opened < 0)
        die(1, "cannot open a %s: %s", what, std::strerror(errno));
    return opened;
}

// Live capture: the sockets, bound to the interface asked for while the
// process still holds the privilege to.
void openSockets(const options &settings)
{
    sock = openOrDie(openCapture, "raw TCP socket");
    sock6 = openOrDie(openIpv6Capture, "packet socket for IPv6");
    if (settings.interface && !bindInterface(settings.interface))
        die(errno == ENODEV ? 2 : 1, "cannot capture on interface '%s': %s; 'ip link' lists them%s",
            settings.interface, std::strerror(errno),
            errno == ENETDOWN ? " and 'ip link set NAME up' brings one up" : "");
}

// Nothing privileged is held from here on: not the capability, not root's
// id under sudo. What comes next (a capture file, the filter, X, the GL
// driver, which the environment chooses) runs with the user's own rights.
void dropPrivileges()
{
    const char *failed = becomeInvokingUser();
    if (!failed)
        failed = shedPrivileges();
    if (failed)
        die(1, "cannot drop privileges (%s): %s; refusing to go on with them", failed,
            std::strerror(errno));
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
    fillStandardDescriptors();
    options settings{.mode = mode, .winx = winx, .winy = winy};
    switch (parseOptions(argc, argv, settings)) {
    case verdict::run:
        break;
    case verdict::help:
        return writeLog(usage_text, std::strlen(usage_text)) || errno == EPIPE ? 0 : 1;
    case verdict::version: {
        static const char version[] = "skevla " SKEVLA_VERSION "\n";
        return writeLog(version, sizeof version - 1) || errno == EPIPE ? 0 : 1;
    }
    case verdict::list_interfaces: {
        static char lines[65536];
        if (!listInterfaces(lines, sizeof lines))
            die(1, "cannot list the interfaces: %s", std::strerror(errno));
        return writeLog(lines, std::strlen(lines)) || errno == EPIPE ? 0 : 1;
    }
    case verdict::refused:
        std::fprintf(stderr, "%sskevla: %s\n", usage_text, settings.why);
        return 2;
    }
    mode = settings.mode;
    winx = settings.winx;
    winy = settings.winy;

    char why[4096];
    bpf_program filter{}, filter6{};
    if (settings.file) {
        dropPrivileges();
        if (const int status =
                openReplay(settings.file, settings.filter, settings.top_speed, why, sizeof why))
            die(status, "%s", why);
    } else {
        if (!compileSocketFilters(settings.filter, filter, filter6, why, sizeof why))
            die(2, "%s", why);
        openSockets(settings);
        dropPrivileges();
        if (!attachFilters(filter, filter6, why, sizeof why))
            die(1, "%s", why);
    }

    // Before any thread starts (the GL driver starts some), so that every
    // one of them blocks the signals; after opening the input, which may
    // wait on a pipe that Ctrl-C must end.
    if (!startLoop(settings.file ? file_source : live_source, settings))
        die(1, "cannot take signals through a descriptor: %s", std::strerror(errno));

    static const char banner[] = "SKEVLA BEGIN\n";
    if (!writeLog(banner, sizeof banner - 1)) {
        if (errno == EPIPE)
            return 0;
        die(1, "cannot write the log: %s", std::strerror(errno));
    }

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
    XSetIOErrorHandler(lostDisplay);
    unthrottleSwaps();
    init();

    // Every datagram and record is untrusted input: from here on the
    // process cannot run a program, make a socket or write a file.
    if (!settings.sandbox)
        std::fputs("skevla: running without the sandbox\n", stderr);
    else if (const char *failed = enterSandbox())
        die(1, "cannot enter the sandbox (%s): %s; --no-sandbox runs without it", failed,
            std::strerror(errno));

    glutDisplayFunc(draw);
    glutReshapeFunc(reshape);
    glutKeyboardFunc(keyboard);
    glutSpecialFunc(special);
    glutIdleFunc(idle);
    glutMainLoop();
    // What the log still holds goes first: it may be the failure.
    finishLog();
    if (const char *cause = loopFailure())
        die(1, "%s", cause);
    writeCounts();
    return 0;
}
