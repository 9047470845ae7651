#include "platform/useraccount.h"

#include <QByteArray>
#include <pwd.h>
#include <unistd.h>
#include <vector>

namespace UserAccount {

namespace {

struct Entry {
    QString login;
    QString gecos;
};

Entry lookup()
{
    long size = sysconf(_SC_GETPW_R_SIZE_MAX);
    std::vector<char> buffer(size > 0 ? static_cast<size_t>(size) : 16384);
    passwd record{};
    passwd *found = nullptr;
    if (getpwuid_r(getuid(), &record, buffer.data(), buffer.size(), &found) != 0 || !found)
        return {};
    return {QString::fromLocal8Bit(found->pw_name), QString::fromLocal8Bit(found->pw_gecos)};
}

} // namespace

QString loginName()
{
    const QString login = lookup().login;
    if (!login.isEmpty())
        return login;
    const QString user = qEnvironmentVariable("USER");
    return user.isEmpty() ? qEnvironmentVariable("LOGNAME") : user;
}

QString fullName()
{
    const QString gecos = lookup().gecos;
    return gecos.left(gecos.indexOf(QLatin1Char(',')));
}

} // namespace UserAccount
