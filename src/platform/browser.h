#pragma once

#include <QUrl>

// The user's default web browser.
namespace Browser {

// Opens the address through the desktop's opener; nothing is reported when
// it cannot be started.
void open(const QUrl &url);

} // namespace Browser
