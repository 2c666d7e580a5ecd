#pragma once

#include "platform/failure.h"

#include <QString>

class QWidget;

namespace console {

// The text the error report shows: the failure's number and text.
QString failureMessage(const platform::Failure &failure);

// Shows the failure in a modal message box (and on standard error, for a terminal or a
// log of the run) and returns when the operator has closed it.
void showFailure(QWidget *parent, const platform::Failure &failure);

} // namespace console
