#include "app/quarrystoneapp.h"

// The entry the launcher looks up once it has loaded this module.
extern "C" __attribute__((visibility("default"))) int quarrystoneWindowMain(int argc, char **argv)
{
    return QuarrystoneApp::run(argc, argv);
}
