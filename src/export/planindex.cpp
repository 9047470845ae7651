#include "export/planindex.h"

#include <algorithm>

#include "core/text.h"
#include "export/exporter.h"

namespace {

thread_local std::shared_ptr<const PlanIndex> activeIndex;
thread_local const Plan *activePlan = nullptr;

// Appends `at` to the key's list once: a list already ending with it is a
// repeat from the same element.
void add(QHash<QString, QList<qsizetype>> &hash, const QString &key, qsizetype at)
{
    QList<qsizetype> &list = hash[Text::canonicalKey(key)];
    if (list.isEmpty() || list.last() != at)
        list.append(at);
}

void addFirst(QHash<QString, qsizetype> &hash, const QString &key, qsizetype at)
{
    hash.insert(Text::canonicalKey(key), at);
}

} // namespace

PlanIndex::PlanIndex(const Plan &plan)
    : m_plan(plan)
{
    // Filled from the end, so the first in plan order stays.
    for (qsizetype i = plan.screens.size() - 1; i >= 0; --i)
        addFirst(m_screenAt, plan.screens.at(i).key, i);
    for (qsizetype i = plan.apis.size() - 1; i >= 0; --i)
        addFirst(m_apiAt, plan.apis.at(i).key, i);
    for (qsizetype i = plan.models.size() - 1; i >= 0; --i)
        addFirst(m_modelAt, plan.models.at(i).name, i);

    for (qsizetype i = 0; i < plan.transitions.size(); ++i)
        add(m_movesFrom, plan.transitions.at(i).from, i);
    for (qsizetype i = 0; i < plan.strings.size(); ++i)
        add(m_stringsOn, plan.strings.at(i).screen, i);
    for (qsizetype i = 0; i < plan.apis.size(); ++i)
        add(m_apisAnswering, plan.apis.at(i).responseModel, i);
    for (qsizetype i = 0; i < plan.models.size(); ++i)
        for (const QString &key : plan.models.at(i).sharedIn)
            add(m_sharingModels, key, i);
    for (qsizetype i = 0; i < plan.screens.size(); ++i) {
        const Screen &screen = plan.screens.at(i);
        add(m_screensWithKey, screen.key, i);
        for (const Arg &arg : screen.args)
            add(m_screensWithArg, Exporter::withoutQuestionMarks(arg.model), i);
    }
}

QList<qsizetype> PlanIndex::positions(const QHash<QString, QList<qsizetype>> &hash, const QString &key)
{
    return hash.value(Text::canonicalKey(key));
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

QList<const Transition *> PlanIndex::movesFrom(const QString &key) const
{
    QList<const Transition *> out;
    for (const qsizetype at : positions(m_movesFrom, key))
        out.append(&m_plan.transitions.at(at));
    return out;
}

QList<const StringKey *> PlanIndex::stringsOn(const QString &key) const
{
    QList<const StringKey *> out;
    for (const qsizetype at : positions(m_stringsOn, key))
        out.append(&m_plan.strings.at(at));
    return out;
}

bool PlanIndex::isApi(const QString &key) const
{
    return m_apiAt.contains(Text::canonicalKey(key));
}

QList<const Api *> PlanIndex::apisAnswering(const QString &model) const
{
    QList<const Api *> out;
    for (const qsizetype at : positions(m_apisAnswering, model))
        out.append(&m_plan.apis.at(at));
    return out;
}

QList<DataModel> PlanIndex::sharedStates(const Screen &screen) const
{
    QList<DataModel> out;
    for (const qsizetype at : positions(m_sharingModels, screen.key))
        out.append(m_plan.models.at(at));
    return out;
}

QList<Screen> PlanIndex::screensUsing(const QString &model) const
{
    const QList<qsizetype> users = screensUsingAt(model);
    QList<Screen> out;
    out.reserve(users.size());
    for (const qsizetype at : users)
        out.append(m_plan.screens.at(at));
    return out;
}

QList<qsizetype> PlanIndex::screensUsingAt(const QString &model) const
{
    // The shared screens of the first model of that name, and the screens
    // with an argument of it, once each in plan order.
    QList<qsizetype> users = positions(m_screensWithArg, model);
    const auto named = m_modelAt.constFind(Text::canonicalKey(model));
    if (named != m_modelAt.cend())
        for (const QString &key : m_plan.models.at(*named).sharedIn)
            users += positions(m_screensWithKey, key);
    std::sort(users.begin(), users.end());
    users.erase(std::unique(users.begin(), users.end()), users.end());
    return users;
}

const Conventions::ScreenValuesOf &PlanIndex::screenValues() const
{
    std::call_once(m_valuesMade, [this] { m_values = std::make_unique<const Conventions::ScreenValuesOf>(m_plan); });
    return *m_values;
}

PlanIndex::Scope::Scope(const Plan &plan)
    : m_index(active(plan) ? activeIndex : std::make_shared<const PlanIndex>(plan))
    , m_outer(activeIndex)
    , m_outerPlan(activePlan)
{
    activeIndex = m_index;
    activePlan = &plan;
}

PlanIndex::Scope::Scope(const Plan &plan, const Scope &other)
    : m_index(other.m_index)
    , m_outer(activeIndex)
    , m_outerPlan(activePlan)
{
    activeIndex = m_index;
    activePlan = &plan;
}

PlanIndex::Scope::~Scope()
{
    activeIndex = m_outer;
    activePlan = m_outerPlan;
}

const PlanIndex *PlanIndex::active(const Plan &plan)
{
    return activePlan == &plan ? activeIndex.get() : nullptr;
}
