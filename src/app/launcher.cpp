#include "app/launcher.h"

#include "app/headless.h"
#include "app/quarrystoneapp.h"
#include "claude/spawn.h"

#include <QCoreApplication>

namespace Launcher {

int main(int argc, char **argv)
{
    // A child that stops reading its input must be reported, not kill us.
    Spawn::ignoreSigpipe();

    QStringList arguments;
    for (int i = 0; i < argc; ++i)
        arguments.append(QString::fromLocal8Bit(argv[i]));

    if (Headless::wantsCommandLine(arguments)) {
        // The command line must run without a display.
        QCoreApplication app(argc, argv);
        return Headless::run(arguments);
    }
    return QuarrystoneApp::run(argc, argv);
}

} // namespace Launcher
