#include "views/bridgehost.h"

BridgeHost::BridgeHost(Receiver receiver, QObject *parent)
    : QObject(parent)
    , m_receiver(std::move(receiver))
{
}

void BridgeHost::post(const QString &name, const QString &json, const QString &url)
{
    m_receiver(name, json, url);
}
