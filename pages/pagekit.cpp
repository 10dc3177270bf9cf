#include "pagekit.h"

namespace vtrl {

void Place(QWidget& widget, const char* name, const QRect& geometry)
{
    widget.setObjectName(QString::fromLatin1(name));
    widget.setGeometry(geometry);
}

StatusPanel::StatusPanel(QWidget* bar, const QString& name, const QRect& geometry) : QLabel(bar)
{
    setObjectName(name);
    setGeometry(geometry);
    setFrameShape(QFrame::Panel);
    setFrameShadow(QFrame::Sunken);
    setTextFormat(Qt::PlainText);
    setIndent(2);
}

void StatusPanel::SetText(const QString& text)
{
    setText(text);
    setToolTip(text);
    emit textSet(text);
}

}  // namespace vtrl
