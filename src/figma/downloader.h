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

// True when an http(s) address answered 200 with a whole body that decodes
// as a PNG picture, and the body was written to `path` (its folder created
// when missing). Any other scheme is refused: an address from an answer
// must never read a local file. A transfer past `limits` throws
// NetworkError naming the picture and the limit; cancelling `cancel` aborts
// the transfer and throws Cancelled.
QCoro::Task<bool> save(QString address, QString path, CancelToken cancel = CancelToken(),
                       HttpFetch::Limits limits = imageLimits);

} // namespace Downloader
