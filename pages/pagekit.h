#pragma once
// Pieces every device page builds its form from.

#include <QLabel>
#include <QRect>
#include <QString>

namespace vtrl {

// Names a control and puts it where the form has it.
void Place(QWidget& widget, const char* name, const QRect& geometry);

// Panel 0 of a page's status bar. A message may be longer than the panel,
// so the whole of it is also the tooltip.
class StatusPanel : public QLabel {
public:
    StatusPanel(QWidget* bar, const QString& name);
    void SetText(const QString& text);
};

}  // namespace vtrl
