// A revision's result is refused exactly when content of the plan before is
// lost from it. The input draws a plan and a revision of it: any number of
// safe edits (elements swapped, copied, added or deleted whole, keys no
// plan holds added, texts changed to other texts, rules added), then, or
// not, one loss in an element the result still holds once (a text, a list
// or a whole part emptied, nulled or left out, the element blanked). A
// result with no loss must be kept; one with a loss refused, whatever the
// lists' lengths did.
#include "fuzzsupport.h"

#include "model/planfiles.h"
#include "model/planhistory.h"
#include "model/planjson.h"

#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QStringList>
#include <QTemporaryDir>
#include <algorithm>
#include <fuzzer/FuzzedDataProvider.h>

namespace {

// The plan's lists whose elements a revision edits, with the key that
// tells their elements apart and the texts each holds.
struct ListKind {
    const char *list;
    const char *id;
    QStringList texts;
};

const QList<ListKind> &kinds()
{
    static const QList<ListKind> all{
        {"screens", "id", {"name", "title"}},
        {"models", "name", {}},
        {"apis", "id", {"purpose", "request"}},
        {"strings", "key", {"ko"}},
        {"decisions", "id", {"question", "context"}},
        {"transitions", nullptr, {"trigger"}},
    };
    return all;
}

class Draw
{
public:
    explicit Draw(FuzzedDataProvider &in) : m_in(in) {}

    int upTo(int most) { return m_in.ConsumeIntegralInRange(0, most); }
    bool coin() { return m_in.ConsumeBool(); }
    // A text that holds something: a word of a few, numbered.
    QString text()
    {
        static const QStringList words{QStringLiteral("채팅"), QStringLiteral("목록"), QStringLiteral("Share"),
                                       QStringLiteral("규칙"), QStringLiteral("x")};
        return words.at(upTo(int(words.size()) - 1)) + QString::number(upTo(50));
    }

private:
    FuzzedDataProvider &m_in;
};

QJsonArray texts(Draw &draw, int most)
{
    QJsonArray list;
    for (int n = draw.upTo(most); n > 0; --n)
        list.append(draw.text());
    return list;
}

QJsonObject drawPlan(Draw &draw)
{
    QJsonObject plan;
    plan.insert("meta", QJsonObject{{"feature", draw.text()}, {"title", draw.text()}, {"summary", draw.text()}});
    QJsonArray screens;
    const int screenCount = 1 + draw.upTo(5);
    for (int i = 0; i < screenCount; ++i) {
        QJsonArray rules;
        for (int n = draw.upTo(3); n > 0; --n)
            rules.append(QJsonObject{{"text", draw.text()}});
        screens.append(QJsonObject{{"id", QStringLiteral("s%1").arg(i)}, {"name", draw.text()}, {"title", draw.text()},
                                   {"rules", rules}, {"strings", texts(draw, 2)},
                                   {"platformNotes", QJsonObject{{"ios", draw.text()}}}});
    }
    plan.insert("screens", screens);
    QJsonArray models;
    for (int i = draw.upTo(3); i > 0; --i)
        models.append(QJsonObject{{"name", QStringLiteral("M%1").arg(i)},
                                  {"fields", QJsonArray{QJsonObject{{"name", draw.text()}, {"type", "String"}}}}});
    plan.insert("models", models);
    QJsonArray apis;
    for (int i = draw.upTo(2); i > 0; --i)
        apis.append(QJsonObject{{"id", QStringLiteral("A%1").arg(i)}, {"purpose", draw.text()}, {"request", draw.text()}});
    plan.insert("apis", apis);
    QJsonArray strings;
    for (int i = draw.upTo(3); i > 0; --i)
        strings.append(QJsonObject{{"key", QStringLiteral("k%1").arg(i)}, {"ko", draw.text()}, {"screen", "s0"}});
    plan.insert("strings", strings);
    QJsonArray decisions;
    for (int i = draw.upTo(3); i > 0; --i)
        decisions.append(QJsonObject{{"id", QStringLiteral("D%1").arg(i)}, {"question", draw.text()},
                                     {"context", draw.text()}, {"options", texts(draw, 3)}});
    plan.insert("decisions", decisions);
    QJsonArray transitions;
    for (int i = draw.upTo(3); i > 0; --i)
        transitions.append(QJsonObject{{"from", QStringLiteral("s%1").arg(draw.upTo(screenCount - 1))},
                                       {"to", QStringLiteral("s%1").arg(draw.upTo(screenCount - 1))},
                                       {"trigger", draw.text()}});
    plan.insert("transitions", transitions);
    plan.insert("naming", QJsonObject{{"rules", texts(draw, 2)}});
    return plan;
}

// One safe edit of the result.
void safeEdit(Draw &draw, QJsonObject &plan, int &added)
{
    const ListKind &kind = kinds().at(draw.upTo(int(kinds().size()) - 1));
    QJsonArray list = plan.value(kind.list).toArray();
    const int at = list.isEmpty() ? -1 : draw.upTo(int(list.size()) - 1);
    switch (draw.upTo(6)) {
    case 0: // two elements swapped
        if (list.size() >= 2) {
            const int other = draw.upTo(int(list.size()) - 1);
            const QJsonValue held = list.at(at);
            list[at] = list.at(other);
            list[other] = held;
        }
        break;
    case 1: // an element copied
        if (at >= 0)
            list.insert(draw.upTo(int(list.size())), list.at(at));
        break;
    case 2: { // an element added
        QJsonObject element{{"memo", draw.text()}};
        if (kind.id)
            element.insert(kind.id, QStringLiteral("new%1").arg(++added));
        for (const QString &key : kind.texts)
            element.insert(key, draw.text());
        if (!kind.id)
            element.insert("from", QStringLiteral("new%1").arg(++added));
        list.insert(draw.upTo(int(list.size())), element);
        break;
    }
    case 3: // an element deleted whole while the list keeps others
        if (list.size() >= 2)
            list.removeAt(at);
        break;
    case 4: // a key no plan holds
        if (at >= 0) {
            QJsonObject element = list.at(at).toObject();
            element.insert(QStringLiteral("memo%1").arg(draw.upTo(3)), draw.coin() ? QJsonValue(draw.text())
                                                                                  : QJsonValue(QJsonObject{{"n", 1}}));
            list[at] = element;
        } else {
            QJsonObject meta = plan.value("meta").toObject();
            meta.insert("memo", draw.text());
            plan.insert("meta", meta);
        }
        break;
    case 5: // a text changed to another
        if (at >= 0 && !kind.texts.isEmpty()) {
            QJsonObject element = list.at(at).toObject();
            element.insert(kind.texts.at(draw.upTo(int(kind.texts.size()) - 1)), draw.text());
            list[at] = element;
        }
        break;
    case 6: { // a rule added to a screen
        QJsonArray screens = plan.value("screens").toArray();
        const int screen = draw.upTo(int(screens.size()) - 1);
        QJsonObject element = screens.at(screen).toObject();
        QJsonArray rules = element.value("rules").toArray();
        rules.insert(draw.upTo(int(rules.size())), QJsonObject{{"text", draw.text()}});
        element.insert("rules", rules);
        screens[screen] = element;
        plan.insert("screens", screens);
        return;
    }
    }
    plan.insert(kind.list, list);
}

// How a part that held something loses it.
QJsonObject without(Draw &draw, QJsonObject element, const QString &key)
{
    switch (draw.upTo(2)) {
    case 0:
        element.remove(key);
        break;
    case 1:
        element.insert(key, QJsonValue::Null);
        break;
    default:
        element.insert(key, element.value(key).isArray() ? QJsonValue(QJsonArray()) : QJsonValue(QString()));
    }
    return element;
}

// One loss in an element of the plan before that the result holds once,
// by its identity, of what the element held before; false when the draw
// found nothing to lose.
bool loseSomething(Draw &draw, const QJsonObject &before, QJsonObject &plan)
{
    if (draw.upTo(5) == 0) {
        const QJsonObject meta = plan.value("meta").toObject();
        const QStringList keys{QStringLiteral("feature"), QStringLiteral("title"), QStringLiteral("summary")};
        plan.insert("meta", without(draw, meta, keys.at(draw.upTo(2))));
        return true;
    }
    const ListKind &kind = kinds().at(draw.upTo(int(kinds().size()) - 1));
    QJsonArray list = plan.value(kind.list).toArray();
    const QJsonArray old = before.value(kind.list).toArray();
    const auto sameElement = [&kind](const QJsonValue &one, const QJsonValue &other) {
        const QJsonObject a = one.toObject();
        const QJsonObject b = other.toObject();
        return kind.id ? a.value(kind.id) == b.value(kind.id)
                       : a.value("from") == b.value("from") && a.value("to") == b.value("to");
    };
    QList<int> once;
    for (int i = 0; i < list.size(); ++i) {
        const auto same = [&](const QJsonValue &other) { return sameElement(list.at(i), other); };
        if (std::count_if(list.begin(), list.end(), same) == 1 && std::any_of(old.begin(), old.end(), same))
            once.append(i);
    }
    if (once.isEmpty())
        return false;
    const int at = once.at(draw.upTo(int(once.size()) - 1));
    const QJsonObject element = list.at(at).toObject();
    const QJsonObject was =
        std::find_if(old.begin(), old.end(), [&](const QJsonValue &other) { return sameElement(element, other); })
            ->toObject();
    QStringList holding = kind.texts;
    if (QString(kind.list) == QLatin1String("screens"))
        holding += {QStringLiteral("rules"), QStringLiteral("strings"), QStringLiteral("platformNotes")};
    if (QString(kind.list) == QLatin1String("models"))
        holding += QStringLiteral("fields");
    if (QString(kind.list) == QLatin1String("decisions"))
        holding += QStringLiteral("options");
    holding.removeIf([&was](const QString &key) {
        const QJsonValue value = was.value(key);
        return value.isUndefined() || value.isNull() || value == QJsonValue(QString())
            || (value.isArray() && value.toArray().isEmpty()) || (value.isObject() && value.toObject().isEmpty());
    });
    if (draw.upTo(4) == 0 || holding.isEmpty())
        list[at] = QJsonObject(); // the element blanked where it stood
    else
        list[at] = without(draw, element, holding.at(draw.upTo(int(holding.size()) - 1)));
    plan.insert(kind.list, list);
    return true;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    FuzzedDataProvider in(data, size);
    Draw draw(in);
    // The plan before, as the writer wrote it.
    const QByteArray before = PlanJson::pretty(Plan::decode(QJsonDocument(drawPlan(draw)).toJson()));
    const QJsonObject plan = QJsonDocument::fromJson(before).object();
    QJsonObject after = plan;
    int added = 0;
    for (int n = draw.upTo(5); n > 0; --n)
        safeEdit(draw, after, added);
    const bool lossy = draw.coin() && loseSomething(draw, plan, after);
    for (int n = lossy ? draw.upTo(2) : 0; n > 0; --n) {
        // Elements added after the loss: the lists grow past it.
        const ListKind &kind = kinds().at(draw.upTo(int(kinds().size()) - 1));
        QJsonArray list = after.value(kind.list).toArray();
        QJsonObject element{{kind.id ? kind.id : "from", QStringLiteral("late%1").arg(n)}};
        for (const QString &key : kind.texts)
            element.insert(key, draw.text());
        list.append(element);
        after.insert(kind.list, list);
    }

    static QTemporaryDir dir;
    QFile file(QDir(dir.path()).filePath(QStringLiteral("plan.json")));
    const QByteArray result = QJsonDocument(after).toJson(draw.coin() ? QJsonDocument::Compact : QJsonDocument::Indented);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate) || file.write(result) != result.size())
        Fuzz::broken("cannot write the result");
    file.close();
    const QString refusal = PlanHistory::revisionRefusal(dir.path(), PlanFiles::Kept(before));
    if (lossy && refusal.isEmpty())
        Fuzz::broken("a result that loses content was kept", before + "\n----\n" + result);
    if (!lossy && !refusal.isEmpty())
        Fuzz::broken("a result that loses nothing was refused",
                     refusal.toUtf8() + "\n----\n" + before + "\n----\n" + result);
    return 0;
}
