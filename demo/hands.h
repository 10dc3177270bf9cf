#pragma once
// What an operator's hands do to the wizard: click, pick an entry with the
// keyboard, type, select a list row, work the modal Advanced dialog. Used by
// the walk-through, the tests, the model test and the benches alike.

#include "wait.h"

#include <QAbstractButton>
#include <QComboBox>
#include <QLineEdit>
#include <QString>
#include <QTimer>
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
// Works the next Advanced dialog from inside its own event loop, as the
// operator does while it is up: notes what it shows, lets `act` change it,
// then presses OK (or Cancel). Make one before the click that opens the
// dialog; it is disarmed when it goes out of scope.
class AdvancedAnswer {
public:
    explicit AdvancedAnswer(bool ok, std::function<void(TfAdvanced&)> act = {});
    AdvancedAnswer(const AdvancedAnswer&) = delete;
    AdvancedAnswer& operator=(const AdvancedAnswer&) = delete;

    // E.g. "levels 01234 at 4, cd on, no timeout, no reset"; empty while no
    // dialog came. "cd off locked": unchecked and disabled.
    QString seen;

private:
    void Answer();

    bool ok_;
    std::function<void(TfAdvanced&)> act_;
    QTimer poll_;
};

}  // namespace vtrl::demo
