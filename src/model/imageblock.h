#pragma once

#include "model/importer.h"

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

} // namespace ImageBlock
