#include "hands.h"

#include "pages/localdevicesettings.h"

#include <QCheckBox>
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

AdvancedAnswer::AdvancedAnswer(bool ok, std::function<void(TfAdvanced&)> act) : ok_(ok), act_(std::move(act))
{
    QObject::connect(&poll_, &QTimer::timeout, [this] { Answer(); });
    poll_.start(5);
}

void AdvancedAnswer::Answer()
{
    TfAdvanced* d = fAdvanced;
    if (!d || !d->isVisible())
        return;
    poll_.stop();
    QString levels;
    for (int i = 0; i < d->cbPowerLevel.count(); ++i)
        levels += d->cbPowerLevel.itemText(i);
    const auto onOff = [](const QCheckBox& box) { return box.isChecked() ? QStringLiteral("on") : QStringLiteral("off"); };
    QStringList parts;
    parts << (d->cbPowerLevel.isVisible() && d->lbPowerLevel.isVisible()
                  ? QStringLiteral("levels %1 at %2").arg(levels).arg(d->cbPowerLevel.currentIndex())
                  : QStringLiteral("no levels"));
    parts << (d->gbCDOutputSelect.isVisible()
                  ? QStringLiteral("cd ") + onOff(d->cbOutOnCD) + (d->cbOutOnCD.isEnabled() ? "" : " locked")
                  : QStringLiteral("no cd"));
    parts << (d->seLinkTimeout.isVisible() && d->lbLinkTimeout.isVisible()
                  ? QStringLiteral("timeout %1").arg(d->seLinkTimeout.value())
                  : QStringLiteral("no timeout"));
    parts << (d->cbLKInit.isVisible() ? QStringLiteral("reset ") + onOff(d->cbLKInit) : QStringLiteral("no reset"));
    seen = parts.join(QStringLiteral(", "));
    if (act_)
        act_(*d);
    QTest::mouseClick(ok_ ? &d->bOK : &d->bCancel, Qt::LeftButton);
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

}  // namespace vtrl::demo
