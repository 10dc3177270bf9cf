#pragma once
// What an operator's hands do to the wizard: click, pick an entry with the
// keyboard, type, select a list row, work the modal Advanced dialog. Used by
// the walk-through, the tests and the model test alike.

#include <QAbstractButton>
#include <QComboBox>
#include <QLineEdit>
#include <QString>
#include <QTreeWidget>

#include <functional>

namespace vtrl {
class TfAdvanced;
}

namespace vtrl::demo {

void Click(QAbstractButton& button);
// Picks an entry with the keyboard, as an operator without a mouse would.
void Pick(QComboBox& list, int index);
// Replaces the text of an edit by typing.
void Type(QLineEdit& edit, const QString& text);
// Clicks the row whose first column reads `text`; whether it is selected then.
bool SelectItem(QTreeWidget& list, const QString& text);
// Works the modal Advanced dialog from inside its own event loop, as the
// operator does while it is up, then presses OK (or Cancel). Call before the
// click that opens it.
void AnswerAdvancedDialog(const std::function<void(TfAdvanced&)>& act, bool ok = true);
// Delivers events until `condition` holds; false when `ms` passed first.
bool WaitUntil(const std::function<bool()>& condition, int ms);

}  // namespace vtrl::demo
