#pragma once
// Answering the modal Advanced dialog from inside its own event loop.

#include "pages/localdevicesettings.h"

#include <QTest>
#include <QTimer>

#include <functional>

namespace vtrl::testing {

// What the dialog showed while it was up.
struct AdvancedSeen {
    bool shown = false;
    QStringList levels;
    int selectedLevel = -2;
    bool outOnCDChecked = false;
    bool outOnCDEnabled = false;
    bool powerVisible = false;
    bool cdGroupVisible = false;
    bool linkTimeoutVisible = false;
    int linkTimeout = -1;
    bool lkInitVisible = false;
    bool lkInitChecked = false;
};

// Answers the next Advanced dialog once: records what it shows, lets `act`
// change it, then presses OK or Cancel. Disarmed when it goes out of scope.
class AdvancedAnswer {
public:
    explicit AdvancedAnswer(bool ok, std::function<void(TfAdvanced&)> act = {}) : ok_(ok), act_(std::move(act))
    {
        poll_.setInterval(5);
        QObject::connect(&poll_, &QTimer::timeout, [this] { Answer(); });
        poll_.start();
    }

    AdvancedSeen seen;

private:
    void Answer()
    {
        TfAdvanced* d = fAdvanced;
        if (!d || !d->isVisible())
            return;
        poll_.stop();
        seen.shown = true;
        for (int i = 0; i < d->cbPowerLevel.count(); ++i)
            seen.levels << d->cbPowerLevel.itemText(i);
        seen.selectedLevel = d->cbPowerLevel.currentIndex();
        seen.outOnCDChecked = d->cbOutOnCD.isChecked();
        seen.outOnCDEnabled = d->cbOutOnCD.isEnabled();
        seen.powerVisible = d->cbPowerLevel.isVisible() && d->lbPowerLevel.isVisible();
        seen.cdGroupVisible = d->gbCDOutputSelect.isVisible();
        seen.linkTimeoutVisible = d->seLinkTimeout.isVisible() && d->lbLinkTimeout.isVisible();
        seen.linkTimeout = d->seLinkTimeout.value();
        seen.lkInitVisible = d->cbLKInit.isVisible();
        seen.lkInitChecked = d->cbLKInit.isChecked();
        if (act_)
            act_(*d);
        QTest::mouseClick(ok_ ? &d->bOK : &d->bCancel, Qt::LeftButton);
    }

    bool ok_;
    std::function<void(TfAdvanced&)> act_;
    QTimer poll_;
};

}  // namespace vtrl::testing
