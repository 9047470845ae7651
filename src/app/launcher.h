#pragma once

// The process entry: the headless command line when a mode flag is given,
// otherwise the windowed application.
namespace Launcher {

int main(int argc, char **argv);

} // namespace Launcher
