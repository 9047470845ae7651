#include "support/planrecords.h"

namespace PlanRecords {

UserAction action(const QString &key, const QString &label)
{
    UserAction a;
    a.key = key;
    a.label = label;
    return a;
}

Sourced sourced(const QString &text, const QString &source)
{
    Sourced s;
    s.text = text;
    s.source = source;
    return s;
}

Arg arg(const QString &name, const QString &model)
{
    Arg a;
    a.name = name;
    a.model = model;
    return a;
}

} // namespace PlanRecords
