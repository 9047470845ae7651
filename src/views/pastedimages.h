#pragma once

#include <QImage>
#include <QString>
#include <QStringList>
#include <optional>

class QMimeData;

// Images that reach the revise panel by the clipboard or by a drop: image
// files named by URL, or bare image data, which is stored as a capture.
namespace PastedImages {

// Whether the file's name says it is an image (its content is not read).
bool isImageFile(const QString &path);

// The local image files the data names, in order.
QStringList imageFiles(const QMimeData *data);

// Whether Ctrl+V should attach an image rather than paste text: there is an
// image (data or an image file), and the text that comes with it, trimmed,
// is empty or looks like a link or a path ("http…", "file:…", "/…").
bool clipboardHasImage(const QMimeData *data);

// Stores the image as "quarrystone-capture-<8 hex digits>.png" in the
// private temporary folder, created exclusively with mode 0600 (a taken
// name draws another), and gives its path; nothing when it cannot be
// encoded or written.
std::optional<QString> capture(const QImage &image);

} // namespace PastedImages
