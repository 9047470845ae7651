#pragma once

#include <QByteArray>
#include <QString>

// Writes a file (creating its folder) and makes it executable by its owner.
bool writeExecutable(const QString &path, const QByteArray &contents);
