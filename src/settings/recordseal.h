#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <optional>

// A plan folder comes from anyone: a record the program writes there and
// later acts on is believed only when this person's program wrote it. It
// carries a seal (an HMAC-SHA256 of its bytes) made with a key that lives in
// the support folder, made once, readable by the person alone; a record
// from another machine, another person or a hand-made one has no seal the
// key opens.
namespace RecordSeal {

// `bytes` with a seal line before them; empty when the key cannot be had
// (a support folder that cannot be written), so that nothing is sealed.
QByteArray sealed(QByteArrayView bytes);

// The bytes a sealed record carries when its seal is this program's;
// nothing when it has none, or one the key does not make.
std::optional<QByteArray> opened(QByteArrayView record);

// The seal of `bytes` alone, for a record kept inside a document others
// read too (a field of its own); empty when the key cannot be had.
QByteArray of(QByteArrayView bytes);

// Whether `seal` is the one of `bytes`.
bool holds(QByteArrayView bytes, QByteArrayView seal);

} // namespace RecordSeal
