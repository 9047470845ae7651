#pragma once

#include <QObject>
#include <QString>
#include <functional>

// Where the new-plan form and the floating start pill meet: the form offers
// its start attempt here, the pill shows and calls what it finds.
class NewPlanAction : public QObject
{
    Q_OBJECT
    Q_PROPERTY(bool canStart READ canStart WRITE setCanStart NOTIFY canStartChanged)
    Q_PROPERTY(QString hint READ hint WRITE setHint NOTIFY hintChanged)

public:
    // The application's one instance, made on first use.
    static NewPlanAction &shared();

    bool canStart() const { return m_canStart; }
    QString hint() const { return m_hint; }
    void setCanStart(bool canStart);
    void setHint(const QString &hint);

    // What the start pill calls; read only at the moment of a click, so
    // changing it redraws nothing.
    std::function<void()> start;

Q_SIGNALS:
    void canStartChanged();
    void hintChanged();

private:
    bool m_canStart = false;
    QString m_hint;
};
