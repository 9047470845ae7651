#pragma once

#include <QByteArray>
#include <QList>

// The plan page's constant look and behaviour: the style sheet and the page
// scripts, kept as real files under resources/page/ and compiled in. Every
// page carries them unchanged, so each text ends at its last character (no
// trailing line feed) and is placed between its tags as it is.
namespace PageAssets {

// The style sheet for the head's style element; it ends in "}".
QByteArray styleSheet();

// The seven scripts that close the body, in page order: link preview,
// platform tabs, data tabs, decision picker, folding and graph zoom, callout
// lines, web fonts.
QList<QByteArray> bodyScripts();

// Swaps image paths for the embedded images; placed after the plan and image
// blocks. Defines window.quarryAssets().
QByteArray imageScript();

// Starts the Mermaid renderer once its library has loaded (or says in the
// graph box that it could not); placed before the library's script element.
QByteArray mermaidStart();

} // namespace PageAssets
