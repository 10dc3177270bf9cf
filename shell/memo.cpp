#include "memo.h"

namespace vtrl {

void SetupMemo(QPlainTextEdit& memo, const char* name, const QRect& geometry,
               const QStringList& lines)
{
    memo.setObjectName(QString::fromLatin1(name));
    memo.setGeometry(geometry);
    memo.setReadOnly(true);
    memo.setFrameShape(QFrame::NoFrame);
    memo.setFocusPolicy(Qt::NoFocus);
    memo.setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    memo.setVerticalScrollBarPolicy(Qt::ScrollBarAsNeeded);
    QPalette palette = memo.palette();
    palette.setColor(QPalette::Base, palette.color(QPalette::Window));
    memo.setPalette(palette);
    memo.document()->setDocumentMargin(0);
    memo.setPlainText(lines.join(QLatin1Char('\n')));
}

}  // namespace vtrl
