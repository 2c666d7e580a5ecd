#include "app/console.h"

#include "app/errorreport.h"
#include "app/frmtestprog.h"
#include "endpoint/componenthost.h"

#include <QApplication>

#include <memory>

namespace console {

void nameProgram()
{
    QApplication::setApplicationName(QStringLiteral("quillon-console"));
}

int run(const QStringList &componentFolders)
{
    // The host outlives the window: the instances run the library's code until they go.
    quillon::ComponentHost host(componentFolders);
    std::unique_ptr<frmTestprog> window;
    try {
        window = std::make_unique<frmTestprog>(host.factory());
    } catch (const platform::Failure &failure) {
        showFailure(nullptr, failure);
        return 1;
    }
    window->load();
    if (window->hasEnded())
        return window->exitCode();
    window->show();
    const int status = QApplication::exec();
    return window->hasEnded() ? window->exitCode() : status;
}

} // namespace console
