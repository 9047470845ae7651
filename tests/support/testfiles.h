#pragma once

#include <QByteArray>
#include <QJsonObject>
#include <QString>
#include <QStringList>

// Files a test writes and reads back, whole, with no atomic replace in the
// way of what is being tested.
namespace TestFiles {

// The file's bytes, or nothing when it cannot be read.
QByteArray readFile(const QString &path);
// Writes the file (creating its folder); a file that cannot be opened fails
// the test.
void writeFile(const QString &path, const QByteArray &bytes);
// The object as compact JSON bytes.
QByteArray json(const QJsonObject &object);
// The names in <dir>/history matching a pattern such as "plan-*.json", in
// name order.
QStringList historyFiles(const QString &dir, const QString &pattern);

} // namespace TestFiles
