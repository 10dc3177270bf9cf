#include "hands.h"

#include "pages/localdevicesettings.h"

#include <QCheckBox>
#include <QDeadlineTimer>
#include <QRadioButton>
#include <QStyle>
#include <QStyleOption>
#include <QTest>
#include <QTimer>

namespace vtrl::demo {

void Click(QAbstractButton& button)
{
    // A radio button or check box takes clicks on its mark and its text, not
    // on the rest of its box: an operator clicks the mark.
    QStyle::SubElement mark = QStyle::SE_CustomBase;
    if (qobject_cast<QRadioButton*>(&button))
        mark = QStyle::SE_RadioButtonIndicator;
    else if (qobject_cast<QCheckBox*>(&button))
        mark = QStyle::SE_CheckBoxIndicator;
    if (mark == QStyle::SE_CustomBase) {
        QTest::mouseClick(&button, Qt::LeftButton);
        return;
    }
    QStyleOptionButton option;
    option.initFrom(&button);
    QTest::mouseClick(&button, Qt::LeftButton, {}, button.style()->subElementRect(mark, &option, &button).center());
}

// Picks an entry with the keyboard, as an operator without a mouse would.
void Pick(QComboBox& list, int index)
{
    list.setFocus();
    QTest::keyClick(&list, Qt::Key_Home);
    for (int i = 0; i < index; ++i)
        QTest::keyClick(&list, Qt::Key_Down);
}

void Type(QLineEdit& edit, const QString& text)
{
    edit.setFocus();
    edit.selectAll();
    QTest::keyClick(&edit, Qt::Key_Delete);
    // QTest maps only ASCII to keys; other characters come as typed text,
    // as from a keyboard layout or an input method.
    for (const QChar c : text) {
        if (c.unicode() < 0x80)
            QTest::keyClick(&edit, c.toLatin1());
        else
            QTest::sendKeyEvent(QTest::Click, &edit, Qt::Key_unknown, QString(c), Qt::NoModifier);
    }
}

void AnswerAdvancedDialog(const std::function<void(TfAdvanced&)>& act, bool ok)
{
    auto* poll = new QTimer;
    poll->setInterval(5);
    QObject::connect(poll, &QTimer::timeout, [poll, act, ok] {
        if (!fAdvanced || !fAdvanced->isVisible())
            return;
        poll->stop();
        poll->deleteLater();
        act(*fAdvanced);
        QTest::mouseClick(ok ? &fAdvanced->bOK : &fAdvanced->bCancel, Qt::LeftButton);
    });
    poll->start();
}

bool SelectItem(QTreeWidget& list, const QString& text)
{
    const auto found = list.findItems(text, Qt::MatchExactly, 0);
    if (found.size() != 1)
        return false;
    list.scrollToItem(found[0]);
    QTest::mouseClick(list.viewport(), Qt::LeftButton, {}, list.visualItemRect(found[0]).center());
    return found[0]->isSelected();
}

bool WaitUntil(const std::function<bool()>& condition, int ms)
{
    const QDeadlineTimer deadline(ms);
    while (!condition()) {
        if (deadline.hasExpired())
            return false;
        // Sleeps until an event comes or 5 ms pass: never spins.
        QTest::qWait(5);
    }
    return true;
}

}  // namespace vtrl::demo
