#pragma once

#include <QByteArray>
#include <QByteArrayView>

// SHA-256 of a whole buffer. On processors with the SHA instructions the
// rounds run in hardware, several times faster than Qt's portable hash,
// which a render spent a tenth of its time in for a large plan.json;
// elsewhere it is Qt's.
namespace Sha256 {

// Whether this processor runs the hash in hardware.
bool accelerated();

// The 32 bytes of the digest.
QByteArray hash(QByteArrayView bytes);

} // namespace Sha256
