// The icon drawn from the same file the desktop entry installs.

#include "pages/icon.h"

#include <QPainter>
#include <QPixmap>
#include <QSvgRenderer>

namespace vtrl {

// Drawn here rather than left to Qt's SVG icon plug-in, which a minimal
// install may lack; the window would then show a blank icon without a word.
QIcon WizardIcon()
{
    QSvgRenderer svg(QStringLiteral(":/vtrlcfg.svg"));
    QIcon icon;
    if (!svg.isValid())
        return icon;
    for (int size : {16, 24, 32, 48, 64, 128, 256}) {
        QPixmap pixmap(size, size);
        pixmap.fill(Qt::transparent);
        QPainter painter(&pixmap);
        svg.render(&painter);
        painter.end();
        icon.addPixmap(pixmap);
    }
    return icon;
}

}  // namespace vtrl
