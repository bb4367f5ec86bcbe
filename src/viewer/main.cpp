// SKEVLA turns live TCP traffic into pictures.
//
// Five programs share the work. This one, the viewer, keeps the window, the
// log, the keys, the signals and the exit status; it has no capture
// socket or file, parses no byte that came off the network, and writes no
// file but the recording it opened at start. The capture process has
// those alone and reads and decodes every untrusted byte in a tight
// sandbox: the helper skevla-capture for live capture (the only file that
// has the capture privilege), the reader skevla-reader for a replay. It
// hands over finished, checked records through one socket pair, as they
// are asked for. The keeper, skevla-keeper, has the one directory
// snapshots go to and writes the pictures it is handed; the encoder,
// skevla-encoder, writes --video's frames into the file it is handed. The
// viewer starts each of them the one way children.cpp does, and every
// channel carries records of the one format record.h checks.
//
// main reads the options, starts the children (live capture is the one
// thing done with privilege), opens what the run keeps, gives up every
// privilege before anything that reads the environment starts (X, the GL
// driver), prints a banner, creates a GLUT window inside Landlock, enters
// its own seccomp sandbox and hands control to GLUT's main loop, with draw,
// reshape, keyboard and idle registered. idle sleeps in one wait on the
// window, the channel, the signals and, while the log's reader lags,
// standard output; a datagram taken is logged with its length and sender
// and becomes the next frame, which the display callback, draw, makes of
// its bytes: every group of four gives one colour and two vertices, drawn
// as points, line segments or one polygon. Data flows one way: options,
// the capture process, the channel, the loop, the log and the frame;
// docs/design.md maps the files. Start reading at main.

#include "authority.h"
#include "boxes.h"
#include "channel.h"
#include "children.h"
#include "counts.h"
#include "display.h"
#include "filter.h"
#include "identity.h"
#include "interfaces.h"
#include "log.h"
#include "loop.h"
#include "offscreen.h"
#include "options.h"
#include "outputs.h"
#include "progress.h"
#include "recording.h"
#include "render.h"
#include "sandbox.h"
#include "shell.h"
#include "signals.h"
#include "snapshot.h"
#include "state.h"
#include "video.h"

#include <GL/freeglut.h>
#include <GL/glx.h>
#include <algorithm>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

namespace
{

// The one way a run fails: "skevla: " and the cause and remedy on
// standard error as one line, then the status (1 for a failure, 2 for a
// bad command line). A run refused before it began removes the files it
// made for its outputs.
[[noreturn]] void die(const failure &why)
{
    clearProgress();
    withdrawOutputs();
    writeAll(STDERR_FILENO, "skevla: ", 8);
    writeAll(STDERR_FILENO, why.why, strnlen(why.why, sizeof why.why));
    writeAll(STDERR_FILENO, "\n", 1);
    std::exit(why.status);
}

[[noreturn]] __attribute__((format(printf, 2, 3))) void die(int status, const char *format, ...)
{
    char cause[cause_limit];
    va_list arguments;
    va_start(arguments, format);
    std::vsnprintf(cause, sizeof cause, format, arguments);
    va_end(arguments);
    failure why;
    fail(why, status, "%s", cause);
    die(why);
}

// freeglut's fatal errors (no display, no GLX visual).
[[noreturn]] void glutFailure(const char *format, va_list arguments)
{
    char cause[256];
    std::vsnprintf(cause, sizeof cause, format, arguments);
    die(1, "%s; set DISPLAY to a running X server that offers GLX", cause);
}

// Seconds an X server has to answer the connection.
constexpr unsigned x_answer_limit = 10;

// A standard descriptor left closed would be taken by the next one opened
// (the socket, the X connection), and the log written into it.
void fillStandardDescriptors()
{
    for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd)
        if (fcntl(fd, F_GETFD) < 0 && open("/dev/null", O_RDWR) != fd)
            std::_Exit(1);
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

// A run that ends before it began, at SIGINT or SIGTERM: its counts, and
// the files it made for its outputs removed. Its exit status.
int endBeforeBeginning()
{
    withdrawOutputs();
    postCounts(counts);
    deliverCounts();
    return countsLost() ? 1 : 0;
}

} // namespace

int main(int argc, char **argv)
{
    static failure why; // of the step of the start-up that failed
    blockSignals();
    fillStandardDescriptors();
    // Descriptors the launcher left open are not this program's to keep.
    if (!closeAbove(STDERR_FILENO))
        die(1, "cannot close the descriptors it was started with: %s", std::strerror(errno));
    unblockOutput();
    // A log reader that goes away, or a log past the file size limit, shows
    // as a failed write.
    std::signal(SIGPIPE, SIG_IGN);
    std::signal(SIGXFSZ, SIG_IGN);
    if (!catchSignals())
        die(1, "cannot catch signals: %s", std::strerror(errno));
    options settings{.mode = mode, .winx = winx, .winy = winy};
    switch (parseOptions(argc, argv, settings)) {
    case verdict::run:
        break;
    case verdict::help: {
        const bool written = writeLog(usage_text, std::strlen(usage_text)) &&
                             writeLog(keys_text, std::strlen(keys_text));
        return written || errno == EPIPE ? 0 : 1;
    }
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
    windowSize(settings, settings.winx, settings.winy);
    mode = settings.mode;
    winx = settings.winx;
    winy = settings.winy;
    counts.file = settings.file;

    // Whatever can refuse the run comes, as far as it can, before a file it
    // names is opened, and all of it before one is written.
    if (!checkOutputs(settings.record, settings.video, settings.file, runUser(), why))
        die(why);
    // A bad filter is refused before anything starts; a replay's is the
    // reader's to judge, for the file's link type.
    if (bpf_program program; !settings.file) {
        if (!compileForSockets(settings.filter, program, why))
            die(why);
        pcap_freecode(&program);
    }
    if (!chooseOwnId(why))
        die(why);
    // Live capture is the one thing done with the privilege: before
    // no_new_privs, which would keep the helper's file capability from
    // taking effect.
    if (!settings.file && !startChild(child_role::capture, settings, -1, why))
        die(why);
    // What the run reads and keeps (the capture file, the recording, the
    // video, the snapshots) belongs to whoever started it: under sudo the
    // user who ran it, else as started.
    if (!becomeInvokingUser(why) ||
        (settings.file && !startChild(child_role::capture, settings, -1, why)))
        die(why);
    sock = channelOf(child_role::capture);
    startChannel(settings);
    if (!awaitCapture(why)) {
        if (!leaving())
            die(why);
        return endBeforeBeginning(); // SIGINT or SIGTERM while a pipe gives no header
    }
    // A window needs a display: one that is surely not there is refused
    // before a file is opened.
    if (const char *named = getenv("DISPLAY"); !settings.video && (!named || !*named))
        die(1, "no display to open a window on: DISPLAY is not set; set DISPLAY to a running X "
               "server that offers GLX, or make a --video, which needs none");
    else if (!settings.video && localDisplayMissing(named))
        die(1,
            "cannot open the X display %s: no X server answers on its socket; set DISPLAY to "
            "a running X server that offers GLX",
            named);
    if ((settings.record && !openRecording(settings.record, why)) || !startEncoder(settings, why) ||
        !startKeeper(settings, why))
        die(why);
    keepXAuthority();
    // Nothing privileged is kept from here on: not root's id (skevla's own
    // when started as root), not a capability. What comes next (X, the GL
    // driver, which the environment chooses) runs with no rights of root.
    if (!dropAll(identity::drawing, why) || !checkSnapshots(settings.snapshots, why))
        die(why);

    // Mesa's shader cache could not be written inside the sandbox; it is
    // switched off rather than failing at every start.
    setenv("MESA_SHADER_CACHE_DISABLE", "true", 1);

    // An X server that takes the connection and never answers would hold
    // the run, and the encoder waiting for its word, for ever.
    char unanswered[512];
    std::snprintf(unanswered, sizeof unanswered,
                  "skevla: the X display %s did not answer within %u seconds; check that its "
                  "server runs%s\n",
                  getenv("DISPLAY") ? getenv("DISPLAY") : "", x_answer_limit,
                  settings.video ? ", or unset DISPLAY to draw the video off screen" : "");
    limitStep(x_answer_limit, unanswered);
    // With --video and no display to be had, the frames are drawn off
    // screen, with no window and no keys.
    const bool windowed = !settings.video || displayReachable();
    int largest_width = 0, largest_height = 0; // of a picture in X's hands
    if (const char *named = getenv("DISPLAY"); !windowed && named && *named) {
        char line[512];
        const int length = std::snprintf(line, sizeof line,
                                         "skevla: cannot open the X display %s; the video is "
                                         "drawn off screen, with no window\n",
                                         named);
        writeAll(STDERR_FILENO, line, static_cast<std::size_t>(std::clamp(length, 0, 511)));
    }
    if (windowed) {
        // GLUT gets the program name alone: every argument is ours, and
        // GLUT would take -display or -geometry out of them.
        glutInitErrorFunc(glutFailure);
        int glut_argc = 1;
        char *glut_argv[] = {argv[0], nullptr};
        glutInit(&glut_argc, glut_argv);
        forgetDisplayProbe();
        forgetXAuthority();
        // No picture is larger than the window or the screen (full screen):
        // the keeper takes none larger, nor does the X server.
        largest_width = std::max(winx, glutGet(GLUT_SCREEN_WIDTH));
        largest_height = std::max(winy, glutGet(GLUT_SCREEN_HEIGHT));
        limitSnapshots(largest_width, largest_height);
    }
    endLimit();
    startLoop(settings, windowed);
    // Landlock once the X connection is open (it keeps abstract sockets
    // made outside, the X server's among them, out of reach) and before the
    // GL driver starts threads with the window, which inherit it.
    if (settings.sandbox && !confine(std::size_t{4} * static_cast<std::size_t>(largest_width) *
                                         static_cast<std::size_t>(largest_height),
                                     why))
        die(why);
    if (windowed) {
        // A close ends the loop as Escape does, so both report the counts.
        glutSetOption(GLUT_ACTION_ON_WINDOW_CLOSE, GLUT_ACTION_GLUTMAINLOOP_RETURNS);
        glutInitDisplayMode(GLUT_RGB | GLUT_DOUBLE);
        glutInitWindowSize(winx, winy);
        glutInitWindowPosition(0, 0);
        glutCreateWindow("SKEVLA");
        checkWindowSize();
        watchDisplay();
        unthrottleSwaps();
    } else if (!openOffscreen(why)) {
        die(why);
    } else {
        checkWindowSize();
        closeKeeper(); // no window, no keys, no snapshots
    }
    init();
    if (!startFrames(why))
        die(why);
    primePicture(winx, winy);

    // Every datagram and record is untrusted input: from here on the
    // process cannot run a program, make a socket or write a file.
    if (!settings.sandbox)
        std::fputs("skevla: running without the sandboxes: no system call filter and no "
                   "Landlock in any of its processes\n",
                   stderr);
    else if (!enterSandbox(recordingDescriptor(), why))
        die(why);

    // Nothing is left to refuse the run but a log that cannot be written:
    // the banner says it begins, and only now are the recording and the
    // video written.
    if (leaving())
        return endBeforeBeginning(); // SIGINT or SIGTERM during the start
    static const char banner[] = "SKEVLA BEGIN\n";
    if (!writeLog(banner, sizeof banner - 1)) {
        withdrawOutputs();
        if (errno == EPIPE)
            return 0;
        die(1, "cannot write the log: %s", std::strerror(errno));
    }
    if (!beginRecording(why) || !beginVideo(why))
        die(why);
    keepOutputs();

    startVideoClock(monotonicNow(), !replaying());
    startProgress(settings.video && replaying());
    if (windowed) {
        glutDisplayFunc(draw);
        glutReshapeFunc(reshape);
        glutKeyboardFunc(keyboard);
        glutSpecialFunc(special);
        glutCloseFunc(closed);
        glutIdleFunc(idle);
        glutMainLoop();
    } else {
        while (!leaving())
            idle();
    }
    // The window went some other way than leave, its GL context with it:
    // the video ends without its last frame.
    if (!leaving()) {
        leave(nullptr);
        framesGone();
        endIfLeft();
    }
    clearProgress();
    // What the log still has queued goes first, then the counts of what it
    // took, then the cause of a failure.
    finishLog();
    if (endedBy().status != 0) {
        postCounts(counts);
        deliverCounts();
        die(endedBy());
    }
    writeCounts();
    // Counts that standard error refused are a failure to report.
    return countsLost() ? 1 : 0;
}
