#include "finish.h"

#include "shell/mainform.h"
#include "shell/memo.h"

namespace vtrl {

TfrmFinish::TfrmFinish(QWidget* parent) : TWizardChildForm(parent), txtFinished(this)
{
    setObjectName(QStringLiteral("frmFinish"));
    setWindowTitle(QStringLiteral("Finish"));
    resize(465, 280);
    SetupMemo(txtFinished, "txtFinished", QRect(32, 72, 409, 65),
              {QStringLiteral("The configuration of the Quorvanes' RS-232 Cable Replacement Devices is "),
               QStringLiteral("complete.  After selecting \"Finish\", turn off the Cable Replacement Devices, connect "),
               QStringLiteral("them to their target applications, and turn them to the normal operating mode.  When "),
               QStringLiteral("they startup, they will be running using the new settings.")});
    // The four lines fit; a scroll bar would narrow the text until its
    // longest line wraps, and then seem needed.
    txtFinished.setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
}

std::uint8_t TfrmFinish::PageEntered(TfrmMain& main)
{
    main.btnBack.hide();
    return 0;
}

std::uint8_t TfrmFinish::PageLeaving(QPushButton*)
{
    return 0;
}

}  // namespace vtrl
