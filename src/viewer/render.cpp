#include "render.h"

#include "state.h"

#include <GL/freeglut_std.h>
#include <cstdint>
#include <cstdlib>

float channel(signed char byte)
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
void drawInfo()
{
    constexpr int band = 18, margin = 5;
    glColor4f(0.1f, 0.1f, 0.1f, 1.0f);
    glRecti(0, winy - band, winx, winy);
    glColor4f(1.0f, 1.0f, 1.0f, 1.0f);
    glRasterPos2i(margin, winy - band + margin);
    for (const char *c = info_line; *c; ++c)
        glutBitmapCharacter(GLUT_BITMAP_8_BY_13, static_cast<unsigned char>(*c));
}

} // namespace

void draw()
{
    glClear(GL_COLOR_BUFFER_BIT);
    bytes_recieved = trimmedCount(bytes_recieved);

    const int primitive = primitiveOf(mode);
    if (primitive >= 0) {
        if (primitive == GL_POINTS)
            glPointSize(10.0f);
        glBegin(static_cast<GLenum>(primitive));
        const int sx = winx / 100;
        const int sy = winy / 100;
        const int groups = groupCount(bytes_recieved);
        for (int g = 0; g < groups; ++g) {
            const signed char *group = buffer + 4 * g;
            int vertices[4];
            groupVertices(group, sx, sy, vertices);
            glColor4f(channel(group[0]), channel(group[1]), channel(group[2]), channel(group[3]));
            glVertex2i(vertices[0], vertices[1]);
            glVertex2i(vertices[2], vertices[3]);
        }
        glEnd();
    }
    if (show_info)
        drawInfo();
    glutSwapBuffers();
}
