#include "render.h"

#include "describe.h"
#include "loop.h"
#include "offscreen.h"
#include "snapshot.h"
#include "state.h"

#include <GL/freeglut_std.h>
#include <GL/glu.h>
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

float intensity(signed char byte)
{
    const auto widened = static_cast<std::uint32_t>(static_cast<std::int32_t>(byte));
    return static_cast<float>(widened / 127u);
}

void groupVertices(const signed char *group, int sx, int sy, int out[4])
{
    // Byte 0 pairs with byte 2 and byte 1 with byte 3. A window side is at
    // most 32767 pixels, so |byte| * scale stays far below the int range.
    out[0] = std::abs(group[0] * sx);
    out[1] = std::abs(group[2] * sy);
    out[2] = std::abs(group[1] * sx);
    out[3] = std::abs(group[3] * sy);
}

int trimmedCount(int count) { return count > 0 && count % 2 != 0 ? count - 1 : count; }

int groupCount(int count) { return count > 4 ? (count - 1) / 4 : 0; }

int primitiveOf(char mode_letter)
{
    switch (mode_letter) {
    case 'p':
        return GL_POLYGON;
    case 'd':
        return GL_POINTS;
    case 'l':
        return GL_LINES;
    default:
        return -1;
    }
}

namespace
{

// The info line across the top: white bitmap text on an opaque dark band,
// so it reads over any picture. Drawn only while asked for, so the picture
// is otherwise untouched.
void drawInfo(int width, int height)
{
    char info_line[line_limit];
    infoLine(info_line, sizeof info_line);
    // Wrapped at spaces onto as many lines as the window's width needs.
    constexpr int line = 15, margin = 5, glyph = 8;
    const std::size_t fits = static_cast<std::size_t>(std::max((width - 2 * margin) / glyph, 1));
    std::size_t starts[8], lengths[8], lines = 0;
    for (std::size_t at = 0, left = std::strlen(info_line); left > 0 && lines < 8; ++lines) {
        std::size_t take = std::min(left, fits);
        if (take < left) {
            std::size_t space = take;
            while (space > 0 && info_line[at + space] != ' ')
                --space;
            take = space > 0 ? space : take;
        }
        starts[lines] = at;
        lengths[lines] = take;
        while (take < left && info_line[at + take] == ' ')
            ++take;
        at += take;
        left -= take;
    }
    const int band = static_cast<int>(lines) * line + margin;
    glColor4f(0.1f, 0.1f, 0.1f, 1.0f);
    glRecti(0, height - band, width, height);
    glColor4f(1.0f, 1.0f, 1.0f, 1.0f);
    for (std::size_t n = 0; n < lines; ++n) {
        glRasterPos2i(margin, height - line * static_cast<int>(n + 1) + 2);
        for (std::size_t c = 0; c < lengths[n]; ++c)
            glutBitmapCharacter(GLUT_BITMAP_8_BY_13,
                                static_cast<unsigned char>(info_line[starts[n] + c]));
    }
}

} // namespace

void drawPicture(int width, int height)
{
    glClear(GL_COLOR_BUFFER_BIT);
    bytes_recieved = trimmedCount(bytes_recieved);

    const int primitive = primitiveOf(mode);
    if (primitive >= 0) {
        if (primitive == GL_POINTS)
            glPointSize(10.0f);
        glBegin(static_cast<GLenum>(primitive));
        const int sx = width / 100;
        const int sy = height / 100;
        const int groups = groupCount(bytes_recieved);
        for (int g = 0; g < groups; ++g) {
            const signed char *group = buffer + 4 * g;
            int vertices[4];
            groupVertices(group, sx, sy, vertices);
            glColor4f(intensity(group[0]), intensity(group[1]), intensity(group[2]),
                      intensity(group[3]));
            glVertex2i(vertices[0], vertices[1]);
            glVertex2i(vertices[2], vertices[3]);
        }
        glEnd();
    }
    if (infoShown())
        drawInfo(width, height);
}

void drawPictureAt(int width, int height)
{
    glViewport(0, 0, width, height);
    glMatrixMode(GL_PROJECTION);
    glPushMatrix();
    glLoadIdentity();
    gluOrtho2D(0.0, width, 0.0, height);
    drawPicture(width, height);
    glPopMatrix();
    glViewport(0, 0, winx, winy);
}

void draw()
{
    const bool framed = bindFramebuffer(winx, winy);
    drawPicture(winx, winy);
    unbindFramebuffer(framed);
    if (snapshotWanted()) {
        // What the swap is about to show, read back whole.
        std::vector<unsigned char> pixels(static_cast<std::size_t>(winx) * winy * 3);
        glPixelStorei(GL_PACK_ALIGNMENT, 1);
        glReadPixels(0, 0, winx, winy, GL_RGB, GL_UNSIGNED_BYTE, pixels.data());
        saveSnapshot(pixels.data(), winx, winy);
    }
    glutSwapBuffers();
}

void primePicture(int width, int height)
{
    const std::int32_t shown_count = bytes_recieved;
    bytes_recieved = 12; // two groups, whatever the buffer holds
    drawPicture(winx, winy);
    if (bindFramebuffer(width, height)) {
        drawPictureAt(width, height);
        unbindFramebuffer(false);
    }
    glFinish();
    bytes_recieved = shown_count;
    glClear(GL_COLOR_BUFFER_BIT);
}
