#pragma once

#include <QByteArray>
#include <QMap>
#include <QString>
#include <QStringList>
#include <optional>
#include <sys/types.h>

// A network of a confined run's own: a network namespace in which nothing
// of the person's listens, neither the host's loopback services (their
// Gradle daemon, a database, a debugger) nor an abstract unix socket (X's,
// a session bus's), which belong to the network namespace they were made
// in. The run reaches the outside through slirp4netns, a network stack in
// user space that we start beside it and that admits no connection to the
// host's loopback (--disable-host-loopback); the run's own loopback, its
// own servers and daemons, DNS and downloads work as usual.
//
// The run's starter (bwrap) is started by `unshare` in the new namespace
// (as anyone but root within a user namespace that maps them to root, so
// that slirp4netns may join it: it cannot join bwrap's own) behind a shell
// that waits until the stack is attached. The stack ends once the last
// process of the run has let go of the run's end of a socket pair, which
// is also how it ends with the application.
namespace OwnNetwork {

// Where the run's starter is given its end of the socket pair.
constexpr int runDescriptor = 6;

// Why no run can get a network of its own here, said in Korean so that a
// development run that needs one can say why it does not start; "" when
// runs can. Asked for each run: it costs a look at three files.
QString unavailable();

// Why a run with the environment `env` would find no way out of its own
// network, in Korean: a proxy it is told to use (HTTPS_PROXY and the like)
// listens on our loopback, which it cannot reach. "" when none does.
QString unreachableProxy(const QMap<QString, QString> &env);

// The program and its arguments (the program first) that run `program`
// with `args` in a network namespace of its own once attach() has given it
// its stack.
QStringList command(const QString &program, const QStringList &args);

// The options the starter's bwrap needs in there: as anyone but root, a
// user namespace of the run's own in which the person is themselves again.
QStringList bwrapOptions();

// What the run reads as /etc/resolv.conf where ours names only servers on
// our loopback (systemd-resolved's 127.0.0.53, a local dnsmasq), which the
// run cannot reach: the stack's own server, which asks ours, with the rest
// of our settings; nothing where the run can use ours as it is.
std::optional<QByteArray> resolverSettings();

// Attaches the stack to the run started with command() as `pid`, whose
// other end of the socket pair is `socket` (taken over and closed), on a
// thread of its own, and reaps the stack once it has ended. A run whose
// stack cannot be attached ends with a message on its standard error.
void attach(pid_t pid, int socket);

} // namespace OwnNetwork
