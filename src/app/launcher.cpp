#include "app/launcher.h"

#include <QTextStream>
#include <cstdio>

namespace Launcher {

int main(int argc, char **argv)
{
    (void)argc;
    (void)argv;
    std::fputs("usage: quarrystone [--generate <link> | --render <folder> | --redraft <folder> | "
               "--revise <folder> | --import <page> | --check-connections] [--out <folder>]\n",
               stdout);
    return 0;
}

} // namespace Launcher
