#include "views/bridgehost.h"

#include <QJsonArray>
#include <QJsonDocument>

BridgeHost::BridgeHost(Receiver receiver, QObject *parent)
    : QObject(parent)
    , m_receiver(std::move(receiver))
{
}

void BridgeHost::post(const QString &messages)
{
    const QJsonDocument document = QJsonDocument::fromJson(messages.toUtf8());
    for (const QJsonValue &each : document.array()) {
        const QJsonArray message = each.toArray();
        if (message.size() == 3 && message.at(0).isString() && message.at(1).isString() && message.at(2).isString())
            m_receiver(message.at(0).toString(), message.at(1).toString(), message.at(2).toString());
    }
}
