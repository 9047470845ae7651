#include "app/launcher.h"

int main(int argc, char **argv)
{
    return Launcher::main(argc, argv);
}
