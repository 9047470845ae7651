#pragma once

#include "core/canceltoken.h"

#include <QCoroTask>
#include <QString>

// Fetches one rendered image into a file; the caller decides what a missing
// image means, so nothing is thrown and no reason is kept.
namespace Downloader {

// True when an http(s) address answered 200 with a whole, non-empty body
// and the body was written to `path` (its folder created when missing). Any other
// scheme is refused: an address from an answer must never read a local file.
// Cancelling `cancel` aborts the transfer and throws Cancelled.
QCoro::Task<bool> save(QString address, QString path, CancelToken cancel = CancelToken());

} // namespace Downloader
