#pragma once

#include <QJsonValue>
#include <QList>
#include <QObject>
#include <QString>
#include <QStringList>
#include <functional>
#include <optional>

// Turns the plan page's decision picks into request lines: one line per
// decision, which the revise panel keeps in the request it is editing. The
// bridge holds no decisions of its own; the request is their only record.
class DecisionBridge : public QObject
{
    Q_OBJECT

public:
    // A decision's id and its line, or no line for a withdrawal.
    struct Decision {
        QString id;
        std::optional<QString> line;

        bool operator==(const Decision &) const = default;
    };

    // Where decisions go: the plan folder whose page posted and its
    // decisions in the order posted, all that arrived in one turn of the
    // event loop.
    using Handler = std::function<void(const QString &dir, const QList<Decision> &decisions)>;

    static DecisionBridge *shared();

    // Replaces the handler; the revise panel sets its own each time it shows.
    void setHandler(Handler handler);

    // A body the page posted for `dir`'s page. The handler is called later,
    // on the main thread, after this has returned, once per folder for
    // every body that came before it; bodies that are not decisions and
    // bodies arriving without a handler are dropped.
    void receive(const QString &dir, const QJsonValue &body);

    // The decision a body carries: a text "id", then a text "choice" before
    // a text "text"; anything else with a text id withdraws the decision.
    // Line breaks in the id are folded as in the answer.
    static std::optional<Decision> parse(const QJsonValue &body);

    // The two line forms; line breaks inside the answer become one space
    // each, so the decision keeps to the one line that a later pick replaces.
    static QString choiceLine(const QString &id, const QString &choice);
    static QString textLine(const QString &id, const QString &text);

    // The request with every line of the decision dropped, trailing empty
    // lines dropped, and the new line (when given) appended last.
    static QString apply(const QString &request, const QString &id, const std::optional<QString> &line);
    // The same for each decision in turn, in one pass over the request.
    static QString apply(const QString &request, const QList<Decision> &decisions);

    // "D1 → 숨긴다" for each decision of a request made of picked options
    // only (its lines may be folded into one); nothing for any other request.
    static QStringList picks(const QString &request);

private:
    using QObject::QObject;

    void deliver();

    Handler m_handler;
    // Bodies received since the last delivery, with their folders.
    QList<std::pair<QString, Decision>> m_pending;
};
