#include <QCoreApplication>

// Builds the application object and ends: the start of a program of Qt Core
// and nothing else.
int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    return 0;
}
