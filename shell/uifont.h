#pragma once

#include <QFont>
#include <QList>
#include <QStringList>

class QWidget;

namespace vtrl {

// The wizard's dialog font. The layout was drawn for a narrow 8 pt bitmap
// sans; where that font is missing the nearest narrow sans is taken, at the
// largest pixel size whose text still fits the fixed control sizes (after
// FitWizardFont, the size it chose).
QFont WizardFont();

// The fixed-size texts of `root` and the widgets in it that do not fit their
// boxes in the fonts they have now, each as "objectName: text": labels,
// buttons, check boxes, radio buttons, group box titles, and every line of
// a read-only memo (one that would wrap, or make the memo scroll, does not
// fit). Hidden widgets count: they are shown later.
QStringList TextsThatDoNotFit(const QWidget& root);

// Gives `roots` the wizard's font at the largest pixel size at which all
// their fixed texts fit, down to the smallest readable one (where a memo
// still does not fit then, it scrolls, so that it says it all), and makes
// it the font of WizardFont() and of the application from then on. The
// screen's fonts and scaling decide what fits, so this runs where the
// wizard runs.
void FitWizardFont(const QList<QWidget*>& roots);

}  // namespace vtrl
