#pragma once

#include <QByteArray>

// Whether bytes are a picture in the PNG format the service promises: the
// whole image is decoded, row by row, so an HTML page, a JSON answer, an
// SVG or a cut or corrupted file is no picture.
namespace PngCheck {

bool decodes(const QByteArray &bytes);

} // namespace PngCheck
