#include "platform/posixspawn.h"

#include <QByteArray>
#include <QFile>
#include <csignal>
#include <vector>

namespace PosixSpawn {

namespace {

// NUL-terminated copies that outlive the spawn call, plus the pointer
// vector that execve wants.
class CStrings
{
public:
    void add(QByteArray bytes) { m_store.push_back(std::move(bytes)); }
    char **vector()
    {
        m_pointers.clear();
        for (QByteArray &bytes : m_store)
            m_pointers.push_back(bytes.data());
        m_pointers.push_back(nullptr);
        return m_pointers.data();
    }

private:
    std::vector<QByteArray> m_store;
    std::vector<char *> m_pointers;
};

struct Setup {
    Setup()
    {
        posix_spawn_file_actions_init(&actions);
        posix_spawnattr_init(&attributes);
    }
    ~Setup()
    {
        posix_spawn_file_actions_destroy(&actions);
        posix_spawnattr_destroy(&attributes);
    }
    Setup(const Setup &) = delete;
    Setup &operator=(const Setup &) = delete;

    int configure(const QByteArray &cwd, const Descriptors &descriptors, short extraFlags)
    {
        int error = descriptors(&actions);
        if (!error && !cwd.isEmpty())
            error = posix_spawn_file_actions_addchdir_np(&actions, cwd.constData());
        if (!error)
            error = posix_spawn_file_actions_addclosefrom_np(&actions, 3);
        sigset_t none;
        sigset_t all;
        sigemptyset(&none);
        sigfillset(&all);
        if (!error)
            error = posix_spawnattr_setsigmask(&attributes, &none);
        if (!error)
            error = posix_spawnattr_setsigdefault(&attributes, &all);
        if (!error)
            error = posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF | extraFlags);
        return error;
    }

    posix_spawn_file_actions_t actions;
    posix_spawnattr_t attributes;
};

} // namespace

int start(pid_t &pid, const QString &path, const QStringList &args, const QMap<QString, QString> &env,
          const QString &cwd, const Descriptors &descriptors, short extraFlags)
{
    const QByteArray program = QFile::encodeName(path);
    CStrings argv;
    argv.add(program);
    for (const QString &arg : args)
        argv.add(arg.toUtf8());
    CStrings envp;
    for (auto it = env.cbegin(); it != env.cend(); ++it)
        envp.add(it.key().toUtf8() + '=' + it.value().toUtf8());

    Setup setup;
    const int error = setup.configure(QFile::encodeName(cwd), descriptors, extraFlags);
    if (error)
        return error;
    return posix_spawn(&pid, program.constData(), &setup.actions, &setup.attributes, argv.vector(), envp.vector());
}

} // namespace PosixSpawn
