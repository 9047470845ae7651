#pragma once

#include <QByteArray>

// Real pictures for the stand-in servers: a download is kept only when it
// decodes.
namespace TestImages {

// A PNG of `width` × `height` grey pixels of one `shade`, as an encoder
// writes it; different shades give different bytes.
QByteArray png(int width, int height, unsigned char shade);

} // namespace TestImages
