#include "app/console.h"
#include "endpoint/componenthost.h"

#include <QApplication>

int main(int argc, char **argv)
{
    QApplication app(argc, argv);
    console::nameProgram();
    return console::run(quillon::ComponentHost::defaultSearchFolders());
}
