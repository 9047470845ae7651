// The layer outline (XML) the design service's MCP tool answers with, and
// the tool result that carries it.
#include "fuzzsupport.h"

#include "figma/figmametadata.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QString text = QString::fromUtf8(Fuzz::bytes(data, size));
    // Only an answer naming a saved file reads a file; none is named here
    // that the input could point at outside the outline itself.
    if (!text.contains(QLatin1String("saved to")))
        (void)FigmaMetadata::xmlFromToolResult(text);
    const QString outline = FigmaMetadata::trimmed(text);
    const FigmaMetadata::Tree tree = FigmaMetadata::parse(outline);
    for (const FigmaMetadata::Node &node : tree.nodes)
        for (const qsizetype child : node.children)
            if (child <= 0 || child >= tree.nodes.size())
                Fuzz::broken("a child index outside the tree", text.toUtf8());
    for (const qsizetype root : tree.roots)
        if (root < 0 || root >= tree.nodes.size())
            Fuzz::broken("a root index outside the tree", text.toUtf8());
    (void)FigmaMetadata::textBoxes(outline);
    return 0;
}
