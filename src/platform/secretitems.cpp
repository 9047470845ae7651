#include "platform/secretitems.h"

#include <QDBusArgument>
#include <QDBusConnection>
#include <QDBusError>
#include <QDBusMessage>
#include <QDBusMetaType>
#include <QDBusObjectPath>
#include <QDBusVariant>
#include <QList>
#include <QVariant>

namespace {

const QString serviceName = QStringLiteral("org.freedesktop.secrets");
const QString servicePath = QStringLiteral("/org/freedesktop/secrets");
const QString serviceInterface = QStringLiteral("org.freedesktop.Secret.Service");
const QString itemInterface = QStringLiteral("org.freedesktop.Secret.Item");
const QString sessionInterface = QStringLiteral("org.freedesktop.Secret.Session");
const QString promptInterface = QStringLiteral("org.freedesktop.Secret.Prompt");

// A secret as the service's D-Bus interface carries it: (oayays).
struct Secret {
    QDBusObjectPath session;
    QByteArray parameters;
    QByteArray value;
    QString contentType;
};

QDBusArgument &operator<<(QDBusArgument &argument, const Secret &secret)
{
    argument.beginStructure();
    argument << secret.session << secret.parameters << secret.value << secret.contentType;
    argument.endStructure();
    return argument;
}

const QDBusArgument &operator>>(const QDBusArgument &argument, Secret &secret)
{
    argument.beginStructure();
    argument >> secret.session >> secret.parameters >> secret.value >> secret.contentType;
    argument.endStructure();
    return argument;
}

} // namespace

Q_DECLARE_METATYPE(Secret)

namespace SecretItems {

namespace {

using Attributes = QMap<QString, QString>;
using Paths = QList<QDBusObjectPath>;

void registerTypes()
{
    static const bool registered = [] {
        qDBusRegisterMetaType<Secret>();
        qDBusRegisterMetaType<Attributes>();
        return true;
    }();
    Q_UNUSED(registered);
}

QDBusMessage call(const QString &path, const QString &interface, const QString &method,
                  const QVariantList &arguments = {}, int timeoutMs = -1)
{
    QDBusMessage message = QDBusMessage::createMethodCall(serviceName, path, interface, method);
    message.setArguments(arguments);
    // Blocks without running the caller's event loop.
    return QDBusConnection::sessionBus().call(message, QDBus::Block, timeoutMs);
}

// A search asks the user nothing, so a service that is there answers it at
// once.
constexpr int searchTimeoutMs = 5000;

bool answered(const QDBusMessage &reply, int arguments)
{
    return reply.type() == QDBusMessage::ReplyMessage && reply.arguments().size() >= arguments;
}

Paths paths(const QVariant &value)
{
    return qdbus_cast<Paths>(value);
}

} // namespace

Presence presence(const QMap<QString, QString> &attributes)
{
    registerTypes();
    if (!QDBusConnection::sessionBus().isConnected())
        return Presence::noService;
    const QDBusMessage found = call(servicePath, serviceInterface, QStringLiteral("SearchItems"),
                                    {QVariant::fromValue(attributes)}, searchTimeoutMs);
    const QDBusError::ErrorType error = QDBusError(found).type();
    if (error == QDBusError::ServiceUnknown)
        return Presence::noService;
    if (error == QDBusError::NoReply || error == QDBusError::Timeout || error == QDBusError::TimedOut)
        return Presence::noAnswer;
    if (!answered(found, 2))
        return Presence::failed;
    if (!paths(found.arguments().at(0)).isEmpty())
        return Presence::unlocked;
    return paths(found.arguments().at(1)).isEmpty() ? Presence::none : Presence::locked;
}

bool overwrite(const QMap<QString, QString> &attributes, const QByteArray &secret)
{
    registerTypes();
    // Without a session bus no Secret Service holds items to bring in line.
    if (!QDBusConnection::sessionBus().isConnected())
        return true;
    const QDBusMessage found =
        call(servicePath, serviceInterface, QStringLiteral("SearchItems"), {QVariant::fromValue(attributes)});
    if (found.type() == QDBusMessage::ErrorMessage) {
        // With no Secret Service there is no item of another program to
        // bring in line.
        const QDBusError::ErrorType error = QDBusError(found).type();
        return error == QDBusError::ServiceUnknown;
    }
    if (!answered(found, 2))
        return false;
    Paths items = paths(found.arguments().at(0));
    bool everyItem = true;
    const Paths locked = paths(found.arguments().at(1));
    if (!locked.isEmpty()) {
        // Items that open without asking the user are written too; one that
        // needs a prompt stays as it is, and the write counts as failed.
        const QDBusMessage opened =
            call(servicePath, serviceInterface, QStringLiteral("Unlock"), {QVariant::fromValue(locked)});
        if (answered(opened, 2)) {
            const Paths unlocked = paths(opened.arguments().at(0));
            items += unlocked;
            everyItem = unlocked.size() == locked.size();
            const QString prompt = qvariant_cast<QDBusObjectPath>(opened.arguments().at(1)).path();
            if (prompt != QLatin1String("/"))
                call(prompt, promptInterface, QStringLiteral("Dismiss"));
        } else {
            everyItem = false;
        }
    }
    if (items.isEmpty())
        return everyItem;

    // The session bus is the user's own; the plain algorithm is what every
    // service offers.
    const QDBusMessage session = call(servicePath, serviceInterface, QStringLiteral("OpenSession"),
                                      {QStringLiteral("plain"), QVariant::fromValue(QDBusVariant(QString()))});
    if (!answered(session, 2))
        return false;
    const QDBusObjectPath sessionPath = qvariant_cast<QDBusObjectPath>(session.arguments().at(1));
    const Secret value{sessionPath, {}, secret, QStringLiteral("text/plain")};
    for (const QDBusObjectPath &item : std::as_const(items)) {
        const QDBusMessage written =
            call(item.path(), itemInterface, QStringLiteral("SetSecret"), {QVariant::fromValue(value)});
        everyItem = everyItem && written.type() == QDBusMessage::ReplyMessage;
    }
    call(sessionPath.path(), sessionInterface, QStringLiteral("Close"));
    return everyItem;
}

} // namespace SecretItems
