#include "uifont.h"

#include <QFontDatabase>
#include <QFontMetrics>
#include <QStringList>

namespace vtrl {

namespace {

// The widest fixed-width texts of the layout and the room they have.
bool fits(const QFont& font)
{
    const QFontMetrics m(font);
    return m.horizontalAdvance(QStringLiteral("Config Local Device")) <= 98
        && m.horizontalAdvance(QStringLiteral(
               "complete.  After selecting \"Finish\", turn off the Cable Replacement Devices, connect "))
               <= 405;
}

QFont build()
{
    const QStringList wanted = {
        QStringLiteral("MS Sans Serif"), QStringLiteral("Microsoft Sans Serif"),
        QStringLiteral("DejaVu Sans Condensed"), QStringLiteral("Liberation Sans Narrow"),
        QStringLiteral("Nimbus Sans Narrow"), QStringLiteral("Liberation Sans"),
        QStringLiteral("Arial"), QStringLiteral("DejaVu Sans")};
    const QStringList present = QFontDatabase::families();
    QString family = QStringLiteral("Sans Serif");
    for (const QString& f : wanted) {
        if (present.contains(f, Qt::CaseInsensitive)) {
            family = f;
            break;
        }
    }
    QFont font(family);
    font.setStyleHint(QFont::SansSerif);
    font.setStyleStrategy(QFont::PreferAntialias);
    for (int px = 11; px >= 8; --px) {
        font.setPixelSize(px);
        if (fits(font))
            return font;
    }
    return font;
}

}  // namespace

QFont WizardFont()
{
    static const QFont font = build();
    return font;
}

}  // namespace vtrl
