#include "export/planindex.h"

#include "core/text.h"
#include "export/exporter.h"

PlanIndex::PlanIndex(const Plan &plan)
    : m_plan(plan)
{
    m_screenAt.reserve(plan.screens.size());
    for (qsizetype i = 0; i < plan.screens.size(); ++i) {
        const QString key = Text::canonicalKey(plan.screens.at(i).key);
        if (!m_screenAt.contains(key))
            m_screenAt.insert(key, i);
    }
}

const Screen *PlanIndex::screen(const QString &key) const
{
    const auto found = m_screenAt.constFind(Text::canonicalKey(key));
    return found == m_screenAt.cend() ? nullptr : &m_plan.screens.at(*found);
}

QString PlanIndex::screenTitle(const QString &key) const
{
    const Screen *found = screen(key);
    return found ? found->title : key;
}

QString PlanIndex::triggerLabel(const Transition &transition) const
{
    return triggerLabel(transition, screen(transition.from));
}

QString PlanIndex::triggerLabel(const Transition &transition, const Screen *source)
{
    if (source) {
        for (const UserAction &action : source->actions)
            if (Text::canonicalEqual(action.key, transition.trigger))
                return Exporter::actionLabel(action);
    }
    if (transition.from.startsWith(u'@'))
        return QStringLiteral("진입");
    return Exporter::iconFallback(transition.trigger).value_or(transition.trigger);
}
