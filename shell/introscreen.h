#pragma once
// First page: what the wizard does, and the choice of device function.

#include "shell/childform.h"

#include <QButtonGroup>
#include <QGroupBox>
#include <QPlainTextEdit>
#include <QRadioButton>

namespace vtrl {

class TfrmIntroduction : public TWizardChildForm {
    Q_OBJECT
public:
    explicit TfrmIntroduction(QWidget* parent = nullptr);

    QPlainTextEdit txtIntroScreen;
    QGroupBox rgDeviceFunction;
    QRadioButton rbCableReplacement;  // item 0
    QRadioButton rbSppServer;         // item 1

    // -1 while nothing is chosen.
    int ItemIndex() const;
    // Selects an item as a click would, running rgDeviceFunctionClick.
    void SetItemIndex(int index);

    void rgDeviceFunctionClick();
    // Offers the function used last time, when nothing is chosen yet.
    std::uint8_t PageEntered(TfrmMain& main) override;

private:
    QButtonGroup items_;
};

}  // namespace vtrl
