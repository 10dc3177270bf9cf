#pragma once

#include <QIcon>

namespace vtrl {

// The wizard's icon for its windows and the task switcher, in every size
// the system may ask for; empty when none could be had.
QIcon WizardIcon();

}  // namespace vtrl
