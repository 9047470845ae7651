#pragma once

#include <QHash>
#include <QString>

#include "model/plan.h"

// Screen lookups that the documents make once per transition, string or
// field. A hash of canonical keys answers them without scanning the screens
// each time, which keeps a plan of thousands of moves fast to write.
class PlanIndex {
public:
    explicit PlanIndex(const Plan &plan);

    // The first screen, in plan order, whose key is canonically equal.
    const Screen *screen(const QString &key) const;
    // That screen's title, or the key itself when no screen has it.
    QString screenTitle(const QString &key) const;
    QString triggerLabel(const Transition &transition) const;

    // The trigger label rule, given the screen the move starts from.
    static QString triggerLabel(const Transition &transition, const Screen *source);

private:
    const Plan &m_plan;
    QHash<QString, qsizetype> m_screenAt;
};
