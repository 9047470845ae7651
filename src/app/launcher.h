#pragma once

// The process entry: the headless command line when a mode flag is given,
// otherwise the windowed application. Two flags serve the self-update:
// "--self-check" (this copy starts and loads its window module) and
// "--finish-update <app> <note>" (completes a swap of the installed folder).
namespace Launcher {

int main(int argc, char **argv);

} // namespace Launcher
