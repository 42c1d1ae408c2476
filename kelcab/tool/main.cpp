#include "commands.h"

#include <QCoreApplication>

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    return kelcabtool::run(app.arguments().mid(1));
}
