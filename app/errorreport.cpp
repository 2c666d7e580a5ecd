#include "app/errorreport.h"

#include <QGuiApplication>
#include <QMessageBox>

namespace console {

QString failureMessage(const platform::Failure &failure)
{
    return QStringLiteral("Error %1: %2").arg(failure.number()).arg(failure.text());
}

void showFailure(QWidget *parent, const platform::Failure &failure)
{
    const QString message = failureMessage(failure);
    qCritical("%s", qUtf8Printable(message));
    QMessageBox box(QMessageBox::Critical, QGuiApplication::applicationDisplayName(), message,
                    QMessageBox::Ok, parent);
    box.setObjectName(QStringLiteral("errorReport"));
    box.exec();
}

} // namespace console
