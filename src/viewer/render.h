// Rendering: one datagram's bytes as coloured points, lines or a polygon.
//
// The bytes are read in groups of four, b0 b1 b2 b3, each a signed 8-bit
// value. A group gives the colour (ch(b0), ch(b1), ch(b2), ch(b3)) and two
// vertices, A = (|b0 sx|, |b2 sy|) and B = (|b1 sx|, |b3 sy|), where sx and sy
// are the window's width and height divided by 100.
#pragma once

// The intensity of one byte's colour channel: its value widened with sign
// to 32 bits, read as unsigned and divided by 127. The GL clamps the
// result, so 0x7F and every byte with the top bit set are full intensity,
// everything else dark.
float intensity(signed char byte);

// Vertex A then vertex B of the group at group[0..3], as {ax, ay, bx, by}.
void groupVertices(const signed char *group, int sx, int sy, int out[4]);

// The count that is drawn: an odd, positive count loses its last byte.
int trimmedCount(int count);

// How many groups a trimmed count draws: those at offsets 0, 4, 8, ... that
// lie strictly below count - 4. No byte at or past count is read.
int groupCount(int count);

// The GL primitive a mode letter names, or -1 for a letter that draws nothing.
int primitiveOf(char mode_letter);

// The picture: clear, draw the latest datagram (bytes_recieved of buffer,
// an odd count first lowered by one) for a target of width x height pixels
// and, when asked for, the info line over it. It never waits and changes
// nothing else, so a repaint after an expose or a resize is immediate and
// the same.
void drawPicture(int width, int height);

// The same in a target of its own size (the video's framebuffer), the
// window's projection kept.
void drawPictureAt(int width, int height);

// The display callback: the picture for the window, a snapshot of it when
// asked for, and the swap.
void draw();

// Once the GL context is current, before any traffic: the mode's primitive
// drawn once, where no one sees it, in the window's buffer and the video's
// framebuffer of width x height (if there is one). The GL driver compiles
// what a primitive needs the first time it is drawn, which can take longer
// than a burst of traffic may wait.
void primePicture(int width, int height);
