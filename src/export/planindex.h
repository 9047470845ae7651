#pragma once

#include <QHash>
#include <QList>
#include <QString>
#include <memory>
#include <mutex>

#include "model/conventions.h"
#include "model/plan.h"

namespace Exporter {
struct GraphShape;
}

// The lookups that the documents make once per screen, move, string or
// model. Hashes of canonical keys answer them without scanning the plan each
// time, which keeps a plan of thousands of screens fast to write: every
// answer is the one a scan in plan order would give.
class PlanIndex {
public:
    explicit PlanIndex(const Plan &plan);
    PlanIndex(const PlanIndex &) = delete;
    PlanIndex &operator=(const PlanIndex &) = delete;

    // The first screen, in plan order, whose key is canonically equal.
    const Screen *screen(const QString &key) const;
    // That screen's title, or the key itself when no screen has it.
    QString screenTitle(const QString &key) const;
    QString triggerLabel(const Transition &transition) const;

    // The trigger label rule, given the screen the move starts from.
    static QString triggerLabel(const Transition &transition, const Screen *source);

    // The moves whose start is canonically equal to the key, in plan order.
    QList<const Transition *> movesFrom(const QString &key) const;
    // The plan's strings whose screen is canonically equal to the key.
    QList<const StringKey *> stringsOn(const QString &key) const;
    // Whether an API of the plan has a key canonically equal to this one.
    bool isApi(const QString &key) const;
    // The APIs whose response model is canonically equal to the name.
    QList<const Api *> apisAnswering(const QString &model) const;
    // As Exporter::sharedStates and Exporter::screensUsing.
    QList<DataModel> sharedStates(const Screen &screen) const;
    QList<Screen> screensUsing(const QString &model) const;
    // The places in plan.screens of those screens, for a caller that reads
    // a field or two of each and needs no copy of them.
    QList<qsizetype> screensUsingAt(const QString &model) const;
    // Every screen's placeholder values, for the moves' navigation codes.
    const Conventions::ScreenValuesOf &screenValues() const;
    // The flow graph's moves and node ids, which the page and the document
    // draw alike.
    const Exporter::GraphShape &graphShape() const;

    // While a scope lives, active(plan) on its thread gives its index for
    // that very plan, so that every part of one render (and the shared
    // helpers it calls) looks up through one index. The plan must not change
    // while the scope lives; a scope for a plan that has one reuses it.
    class Scope {
    public:
        explicit Scope(const Plan &plan);
        // The index of `other` (open on another thread, for the same plan)
        // for work on this thread.
        Scope(const Plan &plan, const Scope &other);
        ~Scope();
        Scope(const Scope &) = delete;
        Scope &operator=(const Scope &) = delete;

    private:
        std::shared_ptr<const PlanIndex> m_index;
        std::shared_ptr<const PlanIndex> m_outer;
        const Plan *m_outerPlan;
    };

    // The index of the scope open for this plan on this thread, if any.
    static const PlanIndex *active(const Plan &plan);

private:
    static QList<qsizetype> positions(const QHash<QString, QList<qsizetype>> &hash, const QString &key);

    const Plan &m_plan;
    QHash<QString, qsizetype> m_screenAt;
    QHash<QString, QList<qsizetype>> m_movesFrom;
    QHash<QString, QList<qsizetype>> m_stringsOn;
    QHash<QString, QList<qsizetype>> m_apisAnswering;
    QHash<QString, qsizetype> m_apiAt;
    QHash<QString, qsizetype> m_modelAt;
    // Screen key → models that list it among their shared screens.
    QHash<QString, QList<qsizetype>> m_sharingModels;
    // Screen key → every screen with that key; model name → the screens
    // with an argument of that model.
    QHash<QString, QList<qsizetype>> m_screensWithKey;
    QHash<QString, QList<qsizetype>> m_screensWithArg;
    // Made by the first thread that asks, then only read.
    mutable std::once_flag m_valuesMade;
    mutable std::unique_ptr<const Conventions::ScreenValuesOf> m_values;
    mutable std::once_flag m_graphMade;
    mutable std::shared_ptr<const Exporter::GraphShape> m_graph;
};
