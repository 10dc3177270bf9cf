#pragma once

#include <QFont>

namespace vtrl {

// The wizard's dialog font. The layout was drawn for a narrow 8 pt bitmap
// sans; where that font is missing the nearest narrow sans is taken, at the
// largest pixel size whose text still fits the fixed control sizes.
QFont WizardFont();

}  // namespace vtrl
