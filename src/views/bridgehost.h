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

    // Messages posted on the channel, as a JSON array of [name, body as
    // JSON text, address of the document that posted it]; entries of any
    // other shape are dropped.
    Q_INVOKABLE void post(const QString &messages);

private:
    Receiver m_receiver;
};
