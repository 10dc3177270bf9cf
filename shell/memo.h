#pragma once

#include <QPlainTextEdit>
#include <QStringList>

namespace vtrl {

// A borderless read-only text in the page colour, holding the given lines.
void SetupMemo(QPlainTextEdit& memo, const char* name, const QRect& geometry,
               const QStringList& lines);

}  // namespace vtrl
