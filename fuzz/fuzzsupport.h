#pragma once

// What every fuzz target shares: turning the input into texts, rendering a
// plan into memory the way the writer would, and stopping loudly when a
// property that must hold does not.

#include "core/jsoncoding.h"
#include "core/jsonread.h"
#include "export/exporter.h"
#include "export/htmlpage.h"
#include "model/conventions.h"
#include "model/plan.h"

#include <QByteArray>
#include <QString>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

namespace Fuzz {

inline QByteArray bytes(const uint8_t *data, size_t size)
{
    return QByteArray(reinterpret_cast<const char *>(data), static_cast<qsizetype>(size));
}

// A property that failed: printed and turned into a crash, so that
// libFuzzer keeps the input.
[[noreturn]] inline void broken(const char *what, const QByteArray &detail = QByteArray())
{
    std::fprintf(stderr, "fuzz property broken: %s\n%s\n", what, detail.left(2000).constData());
    std::abort();
}

// Everything the writer derives from a plan, built in memory.
inline void renderAll(const Plan &plan)
{
    (void)plan.problems();
    (void)plan.openDecisions();
    (void)Exporter::markdown(plan);
    (void)Exporter::mermaid(plan, true);
    (void)Exporter::mermaid(plan, false);
    const Conventions &conventions = Conventions::builtIn();
    (void)conventions.platformMap(plan);
    (void)HTMLPage::render(plan, conventions, {});
}

// plan.json as the writer spells it; nothing for a plan that cannot be
// written (a number that is not finite).
inline std::optional<QByteArray> written(const Plan &plan)
{
    try {
        return JSONCoding::pretty(plan);
    } catch (const JSONCoding::EncodeError &) {
        return std::nullopt;
    }
}

} // namespace Fuzz
