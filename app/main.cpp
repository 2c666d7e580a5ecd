#include "app/console.h"
#include "endpoint/componenthost.h"

#include <QApplication>

int main(int argc, char **argv)
{
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("quillon-console"));
    QApplication::setApplicationDisplayName(QStringLiteral("Quillon test console"));
    return console::run(quillon::ComponentHost::defaultSearchFolders());
}
