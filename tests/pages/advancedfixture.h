#pragma once
// Answering the modal Advanced dialog from inside its own event loop.

#include "pages/localdevicesettings.h"

#include <QTest>
#include <QTimer>

#include <functional>

namespace vtrl::testing {

// Answers the next Advanced dialog once: notes what it shows, lets `act`
// change it, then presses OK or Cancel. Disarmed when it goes out of scope.
class AdvancedAnswer {
public:
    explicit AdvancedAnswer(bool ok, std::function<void(TfAdvanced&)> act = {}) : ok_(ok), act_(std::move(act))
    {
        QObject::connect(&poll_, &QTimer::timeout, [this] { Answer(); });
        poll_.start(5);
    }

    // E.g. "levels 01234 at 4, cd on, no timeout, no reset"; empty while no
    // dialog came. "cd off locked": unchecked and disabled.
    QString seen;

private:
    void Answer()
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

    bool ok_;
    std::function<void(TfAdvanced&)> act_;
    QTimer poll_;
};

}  // namespace vtrl::testing
