// The frame floor: what one frame costs when it only receives a datagram,
// clears and swaps, with skevla's window and loop. SIGUSR1 writes the number
// of frames so far to standard output; the renderer's name goes there first.
// Given a number, it exits after that many frames.
#include <GL/freeglut.h>
#include <atomic>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace
{

int sock;
char buffer[65535];
std::atomic<long> frames;
long frame_limit;

void report(int)
{
    char line[32];
    const int length = std::snprintf(line, sizeof line, "%ld\n", frames.load());
    if (write(STDOUT_FILENO, line, static_cast<size_t>(length)) < 0)
        _exit(1);
}

void draw()
{
    glClear(GL_COLOR_BUFFER_BIT);
    glutPostRedisplay();
    recv(sock, buffer, sizeof buffer, 0);
    glutSwapBuffers();
    if (++frames == frame_limit)
        std::exit(0);
}

void idle() { glutPostRedisplay(); }

} // namespace

int main(int argc, char **argv)
{
    sock = socket(AF_INET, SOCK_RAW, IPPROTO_TCP);
    if (sock < 0) {
        std::perror("floor: socket");
        return 1;
    }
    frame_limit = argc > 1 ? std::atol(argv[1]) : 0;
    glutInit(&argc, argv);
    glutInitDisplayMode(GLUT_RGB | GLUT_DOUBLE);
    glutInitWindowSize(500, 500);
    glutInitWindowPosition(0, 0);
    glutCreateWindow("SKEVLA");
    std::printf("%s\n", glGetString(GL_RENDERER));
    std::fflush(stdout);
    std::signal(SIGUSR1, report);
    glutDisplayFunc(draw);
    glutIdleFunc(idle);
    glutMainLoop();
}
