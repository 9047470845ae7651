#pragma once

#include <QObject>
#include <QString>
#include <functional>

// What the page's script world sees over the web channel: one method, so
// that nothing else of the application can be called from a page.
class BridgeHost : public QObject
{
    Q_OBJECT

public:
    using Receiver = std::function<void(const QString &name, const QString &json, const QString &url)>;

    explicit BridgeHost(Receiver receiver, QObject *parent = nullptr);

    // A message posted on the channel `name`, its body as JSON text, and the
    // address of the document that posted it.
    Q_INVOKABLE void post(const QString &name, const QString &json, const QString &url);

private:
    Receiver m_receiver;
};
