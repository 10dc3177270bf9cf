#include "messagebox.h"

#include <QMessageBox>

namespace vtrl::platform {

namespace {

QtMessageBoxService& defaultService()
{
    static QtMessageBoxService service;
    return service;
}

MessageBoxService* installed = nullptr;

}  // namespace

int QtMessageBoxService::show(QWidget* owner, const QString& text, const QString& caption,
                              MbButtons buttons, MbIcon icon)
{
    QMessageBox box(owner);
    box.setWindowTitle(caption);
    box.setText(text);
    switch (icon) {
    case MbIcon::None: box.setIcon(QMessageBox::NoIcon); break;
    case MbIcon::Question: box.setIcon(QMessageBox::Question); break;
    case MbIcon::Error: box.setIcon(QMessageBox::Critical); break;
    case MbIcon::Warning: box.setIcon(QMessageBox::Warning); break;
    case MbIcon::Information: box.setIcon(QMessageBox::Information); break;
    }
    switch (buttons) {
    case MbButtons::Ok:
        box.setStandardButtons(QMessageBox::Ok);
        break;
    case MbButtons::YesNo:
        box.setStandardButtons(QMessageBox::Yes | QMessageBox::No);
        break;
    case MbButtons::RetryCancel:
        box.setStandardButtons(QMessageBox::Retry | QMessageBox::Cancel);
        break;
    }
    switch (box.exec()) {
    case QMessageBox::Yes: return mrYes;
    case QMessageBox::No: return mrNo;
    case QMessageBox::Retry: return mrRetry;
    case QMessageBox::Ok: return mrOk;
    default:
        // Esc or the close box: the answer a Yes/No box gives then is No.
        return buttons == MbButtons::YesNo ? mrNo : (buttons == MbButtons::Ok ? mrOk : mrCancel);
    }
}

MessageBoxService& MessageBoxes()
{
    return installed ? *installed : defaultService();
}

MessageBoxService* SetMessageBoxService(MessageBoxService* service)
{
    MessageBoxService* previous = installed;
    installed = service;
    return previous;
}

int ShowMessageBox(QWidget* owner, const QString& text, const QString& caption,
                   MbButtons buttons, MbIcon icon)
{
    return MessageBoxes().show(owner, text, caption, buttons, icon);
}

ScriptedMessageBoxes::ScriptedMessageBoxes(int defaultAnswer)
    : default_(defaultAnswer), previous_(SetMessageBoxService(this))
{
}

ScriptedMessageBoxes::~ScriptedMessageBoxes()
{
    SetMessageBoxService(previous_);
}

int ScriptedMessageBoxes::show(QWidget* owner, const QString& text, const QString& caption,
                               MbButtons buttons, MbIcon icon)
{
    boxes_.push_back(Box{owner, owner, text, caption, buttons, icon});
    if (answers_.empty())
        return default_;
    const int answer = answers_.front();
    answers_.pop_front();
    return answer;
}

}  // namespace vtrl::platform
