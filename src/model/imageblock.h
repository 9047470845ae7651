#pragma once

#include "model/importer.h"

#include <functional>

class PageFile;

// The image map of a page: the JSON object of the script block that begins
// at a place in the page and ends at the first "</script>". No state.
namespace ImageBlock {

// Its entries; no images at all when the map is broken or partly
// unreadable. The map as the page's writer spells it is read in place, a
// piece of the page at a time, its entries in parallel; any other spelling
// of JSON is parsed whole, with the same result. An entry in the writer's
// spelling whose text is longer than any picture's may be is passed over
// without being held, with a line in `skipped`.
Importer::Assets read(const PageFile &page, qint64 from, QStringList *skipped);

// One entry of the map: its key and its data URL.
struct Entry {
    QString key;
    QByteArray url;
};

// What takes the entries of one piece of the page, in the page's order;
// false stops the reading as if the map were spelled otherwise.
using Sink = std::function<bool(QList<Entry> &)>;

// The map as the writer spells it, handed to `sink` a piece of the page at
// a time, so that no more than a piece's entries are held at once; false
// when it is spelled otherwise (or `sink` refused), after some pieces may
// have been handed on. Entries passed over for their length get their
// line in `skipped` only when the whole map was read.
bool stream(const PageFile &page, qint64 from, QStringList *skipped, const Sink &sink);

} // namespace ImageBlock
