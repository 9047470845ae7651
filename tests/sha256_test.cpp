#include "core/sha256.h"

#include <QCryptographicHash>
#include <QRandomGenerator>
#include <gtest/gtest.h>

// The hardware hash gives Qt's digest at every length that ends a message
// differently: empty, within the first block, where the length no longer
// fits beside the last bytes (56), at and around block ends, over many
// blocks, and from a start that is not aligned.
TEST(Sha256, AgreesWithQtAtEveryKindOfLength)
{
    if (!Sha256::accelerated())
        GTEST_SKIP() << "this processor has no SHA instructions: the hash is Qt's own";
    QRandomGenerator random(20261208);
    const qsizetype lengths[] = {0, 1, 3, 55, 56, 57, 63, 64, 65, 119, 120, 127, 128, 129, 1000, (1 << 20) + 7};
    for (const qsizetype length : lengths) {
        // One byte more than the length, so that the message can also start
        // one byte in.
        QByteArray bytes(length + 1, Qt::Uninitialized);
        for (char &byte : bytes)
            byte = char(random.bounded(256));
        for (const qsizetype start : {0, 1}) {
            const QByteArrayView message = QByteArrayView(bytes).sliced(start, length);
            EXPECT_EQ(Sha256::hash(message).toHex(),
                      QCryptographicHash::hash(message, QCryptographicHash::Sha256).toHex())
                << "length " << length << ", starting at " << start;
        }
    }
}
