#pragma once
// Pieces every device page builds its form from.

#include <QLabel>
#include <QRect>
#include <QString>

namespace vtrl {

// Names a control and puts it where the form has it.
void Place(QWidget& widget, const char* name, const QRect& geometry);

// A panel of a page's status bar. A message may be longer than the panel,
// so the whole of it is also the tooltip.
class StatusPanel : public QLabel {
    Q_OBJECT
public:
    // Panel 0 fills the bar unless given a width.
    StatusPanel(QWidget* bar, const QString& name, const QRect& geometry = QRect(0, 1, 457, 19));
    void SetText(const QString& text);

signals:
    // Every text written, in order (also repeats).
    void textSet(const QString& text);
};

}  // namespace vtrl
