#pragma once

#include "core/canceltoken.h"
#include "core/httpfetch.h"

#include <QCoroTask>
#include <QString>

// Fetches one rendered image into a file; the caller decides what a missing
// image means, so no reason is kept for a failed download.
namespace Downloader {

// A minute for a whole picture, and no more bytes than a frame's picture
// could ever take.
inline constexpr HttpFetch::Limits imageLimits{std::chrono::seconds(60), qint64(64) << 20};

// True when an http(s) address answered 200 within `limits` with a whole
// body that begins with a PNG picture, and the picture was written to
// `path` (its folder created when missing). Any other scheme is refused: an
// address from an answer must never read a local file. Every other failure,
// a picture too slow or too large included, is false; cancelling `cancel`
// aborts the transfer or the check and throws Cancelled.
QCoro::Task<bool> save(QString address, QString path, CancelToken cancel = CancelToken(),
                       HttpFetch::Limits limits = imageLimits);

} // namespace Downloader
