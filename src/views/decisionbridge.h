#pragma once

#include <QJsonValue>
#include <QObject>
#include <QString>
#include <functional>
#include <optional>

// Turns the plan page's decision picks into request lines: one line per
// decision, which the revise panel keeps in the request it is editing. The
// bridge holds no decisions of its own; the request is their only record.
class DecisionBridge : public QObject
{
    Q_OBJECT

public:
    // Where decisions go: the plan folder whose page posted, the decision's
    // id and its line, or no line for a withdrawal.
    using Handler = std::function<void(const QString &dir, const QString &id, const std::optional<QString> &line)>;

    struct Decision {
        QString id;
        std::optional<QString> line;

        bool operator==(const Decision &) const = default;
    };

    static DecisionBridge *shared();

    // Replaces the handler; the revise panel sets its own each time it shows.
    void setHandler(Handler handler);

    // A body the page posted for `dir`'s page. The handler is called later,
    // on the main thread, after this has returned; bodies that are not
    // decisions and bodies arriving without a handler are dropped.
    void receive(const QString &dir, const QJsonValue &body);

    // The decision a body carries: a text "id", then a text "choice" before
    // a text "text"; anything else with a text id withdraws the decision.
    static std::optional<Decision> parse(const QJsonValue &body);

    // The two line forms; line breaks inside the answer become one space
    // each, so the decision keeps to the one line that a later pick replaces.
    static QString choiceLine(const QString &id, const QString &choice);
    static QString textLine(const QString &id, const QString &text);

    // The request with every line of the decision dropped, trailing empty
    // lines dropped, and the new line (when given) appended last.
    static QString apply(const QString &request, const QString &id, const std::optional<QString> &line);

private:
    using QObject::QObject;

    Handler m_handler;
};
