#include "settings/keychain.h"

#include "core/text.h"
#include "platform/secretservicestore.h"
#include "platform/secretstore.h"

#include <QMutex>
#include <algorithm>
#include <atomic>

namespace Keychain {

namespace {

// The connection check asks from its own thread while the settings window
// asks from the main one: the store is made and handed out under a lock, and
// each call holds its own reference while it runs.
QMutex &lock()
{
    static QMutex mutex;
    return mutex;
}

std::shared_ptr<SecretStore> &installed()
{
    static std::shared_ptr<SecretStore> store;
    return store;
}

std::shared_ptr<SecretStore> store()
{
    const QMutexLocker locked(&lock());
    std::shared_ptr<SecretStore> &current = installed();
    if (!current)
        current = std::make_shared<SecretServiceStore>(service());
    return current;
}

// The secret's name with its object particle.
QString named(Item item)
{
    switch (item) {
    case Item::figmaToken:
        return QStringLiteral("Figma 토큰을");
    case Item::anthropicKey:
        return QStringLiteral("Anthropic API 키를");
    }
    return {};
}

QString cause(const SecretStore::Lookup &found)
{
    using Status = SecretStore::Lookup::Status;
    switch (found.status) {
    case Status::locked:
        return QStringLiteral("키링이 잠겨 있어서");
    case Status::noService:
        return QStringLiteral("키링 서비스(Secret Service)가 실행 중이 아니어서");
    case Status::noBus:
        return QStringLiteral("세션 D-Bus 에 연결할 수 없어서");
    case Status::noAnswer:
        return QStringLiteral("키링이 제때 답하지 않아서");
    case Status::found:
    case Status::absent:
    case Status::failed:
        break;
    }
    if (found.detail.isEmpty())
        return QStringLiteral("키링이 오류를 알려서");
    return QStringLiteral("키링이 오류(%1)를 알려서").arg(found.detail);
}

// What a header or an environment variable can carry as it is: printable
// ASCII, spaces inside included.
bool printableAscii(const QString &text)
{
    return std::all_of(text.cbegin(), text.cend(), [](QChar c) { return c.unicode() >= 0x20 && c.unicode() < 0x7F; });
}

QString unusable(Item item, const QString &why)
{
    return QStringLiteral("키링에 저장된 ") + named(item) + QStringLiteral(" 쓸 수 없어요: ") + why
        + QStringLiteral(" 설정에서 다시 넣어 주세요.");
}

// The secret the stored bytes make, or why they make none.
Reading readingOf(Item item, const QByteArray &data)
{
    Reading reading;
    const std::optional<QString> text = Text::decodeUtf8Strict(data);
    if (!text) {
        reading.outcome = Reading::Outcome::unreadable;
        reading.problem = unusable(item, QStringLiteral("UTF-8 글자가 아니에요."));
        return reading;
    }
    const QString trimmed = text->trimmed();
    if (trimmed.isEmpty())
        return reading;
    if (!printableAscii(trimmed)) {
        reading.outcome = Reading::Outcome::unreadable;
        reading.problem = unusable(item, QStringLiteral("제어 문자나 ASCII 밖의 글자가 들어 있어요."));
        return reading;
    }
    reading.outcome = Reading::Outcome::found;
    reading.value = trimmed;
    return reading;
}

// Whether the store answered "locked" and nobody has asked again since: an
// unlock prompt the person cancelled is not put before them again by every
// look at the secrets, nor once for each secret.
std::atomic<bool> &foundLocked()
{
    static std::atomic<bool> locked = false;
    return locked;
}

Reading unreadable(Item item, const SecretStore::Lookup &found)
{
    Reading reading;
    reading.outcome = Reading::Outcome::unreadable;
    reading.problem = cause(found) + QLatin1Char(' ') + named(item) + QStringLiteral(" 읽지 못했어요.");
    return reading;
}

} // namespace

QString service()
{
    return QStringLiteral("com.tovanek.quarrystone.mac");
}

QString account(Item item)
{
    switch (item) {
    case Item::figmaToken:
        return QStringLiteral("figma-token");
    case Item::anthropicKey:
        return QStringLiteral("anthropic-api-key");
    }
    return {};
}

Reading read(Item item)
{
    using Status = SecretStore::Lookup::Status;
    // Reads on several threads ask one at a time, so that the answer to
    // the first one's prompt serves the others.
    static QMutex asking;
    const QMutexLocker one(&asking);
    if (foundLocked())
        return unreadable(item, {Status::locked, {}, {}});
    const SecretStore::Lookup found = store()->lookUp(account(item));
    foundLocked() = found.status == Status::locked;
    if (found.status == Status::found)
        return readingOf(item, found.data);
    if (found.status == Status::absent)
        return {};
    return unreadable(item, found);
}

void askAgain()
{
    foundLocked() = false;
}

bool usable(const QString &secret)
{
    return !secret.isEmpty() && secret == secret.trimmed() && printableAscii(secret);
}

QString refusal(Item item, const QString &value)
{
    if (printableAscii(value.trimmed()))
        return {};
    return QStringLiteral("제어 문자나 ASCII 밖의 글자가 들어 있어서 ") + named(item) + QStringLiteral(" 저장하지 않았어요.");
}

bool set(Item item, const QString &value)
{
    const QString trimmed = value.trimmed();
    if (trimmed.isEmpty())
        return store()->remove(account(item));
    if (!refusal(item, trimmed).isEmpty())
        return false;
    // A write asks the store itself, and may unlock it.
    askAgain();
    return store()->write(account(item), trimmed);
}

void useStore(std::shared_ptr<SecretStore> store)
{
    const QMutexLocker locked(&lock());
    installed() = std::move(store);
    askAgain();
}

} // namespace Keychain
