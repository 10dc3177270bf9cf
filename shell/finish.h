#pragma once
// Last page: what to do with the configured devices.

#include "shell/childform.h"

#include <QPlainTextEdit>

namespace vtrl {

class TfrmFinish : public TWizardChildForm {
    Q_OBJECT
public:
    explicit TfrmFinish(QWidget* parent = nullptr);

    std::uint8_t PageEntered(TfrmMain& main) override;
    std::uint8_t PageLeaving(QPushButton* pressed) override;

    QPlainTextEdit txtFinished;
};

}  // namespace vtrl
