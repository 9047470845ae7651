#include "export/exporter.h"

#include <QHash>

#include "core/text.h"
#include "export/planindex.h"

namespace Exporter {

namespace {

struct IconWord {
    QString ending;
    QString word;
};

const QList<IconWord> &iconWords()
{
    static const QList<IconWord> words{
        {QStringLiteral("Back"), QStringLiteral("뒤로")},
        {QStringLiteral("Close"), QStringLiteral("닫기")},
        {QStringLiteral("Done"), QStringLiteral("완료")},
        {QStringLiteral("Play"), QStringLiteral("재생")},
    };
    return words;
}

// Words of a type text such as "[FeedItem]?" or "Map<String, Author>": runs
// of letters, digits and "_"; brackets, marks and spaces separate them.
QStringList typeWords(const QString &type)
{
    QStringList words;
    QString word;
    for (const QString &character : Text::graphemes(type)) {
        if (character == u'_' || Text::isLetterOrNumber(character)) {
            word += character;
        } else if (!word.isEmpty()) {
            words.append(word);
            word.clear();
        }
    }
    if (!word.isEmpty())
        words.append(word);
    return words;
}


} // namespace

QString withoutQuestionMarks(const QString &model)
{
    qsizetype start = 0;
    qsizetype end = model.size();
    while (start < end && model.at(start) == u'?')
        ++start;
    while (end > start && model.at(end - 1) == u'?')
        --end;
    return model.mid(start, end - start);
}

std::optional<QString> iconFallback(const QString &key)
{
    for (const IconWord &icon : iconWords())
        if (Text::hasSuffix(key, icon.ending))
            return icon.word;
    return std::nullopt;
}

QString actionLabel(const UserAction &action)
{
    if (Text::graphemeCount(action.label) >= 2)
        return action.label;
    if (std::optional<QString> icon = iconFallback(action.key))
        return *icon;
    return action.label.isEmpty() ? action.key : action.label;
}

QString triggerLabel(const Transition &transition, const Plan &plan)
{
    if (const PlanIndex *index = PlanIndex::active(plan))
        return index->triggerLabel(transition);
    const std::optional<Screen> source = plan.screen(transition.from);
    return PlanIndex::triggerLabel(transition, source ? &*source : nullptr);
}

QList<DataModel> sharedStates(const Screen &screen, const Plan &plan)
{
    if (const PlanIndex *index = PlanIndex::active(plan))
        return index->sharedStates(screen);
    const QString key = Text::canonicalKey(screen.key);
    QList<DataModel> shared;
    for (const DataModel &model : plan.models) {
        for (const QString &entry : model.sharedIn) {
            if (Text::canonicalKey(entry) == key) {
                shared.append(model);
                break;
            }
        }
    }
    return shared;
}

QSet<QString> apiModelNames(const Plan &plan)
{
    QHash<QString, const DataModel *> byName;
    for (const DataModel &model : plan.models) {
        const QString key = Text::canonicalKey(model.name);
        if (!byName.contains(key))
            byName.insert(key, &model);
    }

    QStringList work;
    for (const Api &api : plan.apis) {
        const QString key = Text::canonicalKey(api.responseModel);
        if (byName.contains(key))
            work.append(key);
    }

    QSet<QString> reached;
    QSet<QString> names;
    while (!work.isEmpty()) {
        const QString key = work.takeLast();
        if (reached.contains(key))
            continue;
        reached.insert(key);
        const DataModel *model = byName.value(key);
        names.insert(model->name);
        for (const Field &field : model->fields) {
            for (const QString &word : typeWords(field.type)) {
                const QString wordKey = Text::canonicalKey(word);
                if (byName.contains(wordKey))
                    work.append(wordKey);
            }
        }
    }
    return names;
}

QList<Screen> screensUsing(const QString &model, const Plan &plan)
{
    if (const PlanIndex *index = PlanIndex::active(plan))
        return index->screensUsing(model);
    QSet<QString> sharedIn;
    for (const DataModel &candidate : plan.models) {
        if (Text::canonicalEqual(candidate.name, model)) {
            for (const QString &key : candidate.sharedIn)
                sharedIn.insert(Text::canonicalKey(key));
            break;
        }
    }

    QList<Screen> users;
    for (const Screen &screen : plan.screens) {
        bool uses = sharedIn.contains(Text::canonicalKey(screen.key));
        for (qsizetype i = 0; !uses && i < screen.args.size(); ++i)
            uses = Text::canonicalEqual(withoutQuestionMarks(screen.args.at(i).model), model);
        if (uses)
            users.append(screen);
    }
    return users;
}

QString apiStatusText(const QString &status)
{
    if (status == QLatin1String("exists"))
        return QStringLiteral("있음");
    if (status == QLatin1String("needed"))
        return QStringLiteral("필요");
    if (status == QLatin1String("done"))
        return QStringLiteral("완료");
    return status;
}

QString statusText(const StringKey &string)
{
    if (string.key.isEmpty())
        return QStringLiteral("키 필요");
    const QString code = u'`' + string.key + u'`';
    if (string.source == QLatin1String("inferred"))
        return code + QStringLiteral(" 키 확인 필요");
    return code + QStringLiteral(" 키 적용 완료");
}

} // namespace Exporter
