#pragma once

#include <QString>
#include <QStringList>

// Git and folder listings for tests that make repositories of their own.
namespace TestRepo {

// Runs git in `dir` for the test itself, never through the code under test;
// a failure fails the test. Gives the output, trimmed.
QString sh(const QString &dir, const QStringList &args);

// Every path below `dir`, relative to it and sorted, for "nothing was made"
// checks.
QStringList tree(const QString &dir);

} // namespace TestRepo
