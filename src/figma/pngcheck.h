#pragma once

#include "core/canceltoken.h"

#include <QByteArray>
#include <optional>

// Whether bytes are a picture in the PNG format the service promises: the
// whole image is decoded, row by row, so an HTML page, a JSON answer, an
// SVG or a cut or corrupted file is no picture.
namespace PngCheck {

// The length of the picture the bytes begin with, up to the end of its last
// chunk: what follows is no part of it. Nothing when they begin with no
// whole picture, or when `stop` is cancelled while they are decoded.
std::optional<qsizetype> length(const QByteArray &bytes, const CancelToken &stop = CancelToken());

} // namespace PngCheck
