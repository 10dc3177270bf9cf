#pragma once
// Every prompt the wizard shows goes through one service, so tests can
// script the operator's answers and pages never build dialogs themselves.

#include <QString>
#include <QPointer>
#include <QWidget>

#include <deque>
#include <memory>
#include <vector>

namespace vtrl::platform {

enum class MbButtons { Ok, YesNo, RetryCancel };
enum class MbIcon { None, Question, Error, Warning, Information };

// The numbers the buttons answer with; they match the classic dialog codes
// the pages compare against.
enum MbResult : int { mrOk = 1, mrCancel = 2, mrRetry = 4, mrYes = 6, mrNo = 7 };

class MessageBoxService {
public:
    virtual ~MessageBoxService() = default;
    // Modal; returns one of MbResult.
    virtual int show(QWidget* owner, const QString& text, const QString& caption,
                     MbButtons buttons, MbIcon icon) = 0;
};

// The program's service: a QMessageBox with exactly the given caption, text,
// buttons and icon.
class QtMessageBoxService final : public MessageBoxService {
public:
    int show(QWidget* owner, const QString& text, const QString& caption,
             MbButtons buttons, MbIcon icon) override;
};

// The process-wide service. Defaults to a QtMessageBoxService.
MessageBoxService& MessageBoxes();
// Installs `service` (not owned; null restores the default) and returns the
// one that was installed before.
MessageBoxService* SetMessageBoxService(MessageBoxService* service);

// Shorthand for MessageBoxes().show(...).
int ShowMessageBox(QWidget* owner, const QString& text, const QString& caption,
                   MbButtons buttons, MbIcon icon = MbIcon::None);

// Test double: records every box and answers from a queue, then with a
// default. Installs itself for its lifetime.
class ScriptedMessageBoxes final : public MessageBoxService {
public:
    struct Box {
        QPointer<QWidget> owner;
        QWidget* ownerAtShow = nullptr;  // for identity checks after the owner is gone
        QString text;
        QString caption;
        MbButtons buttons;
        MbIcon icon;
    };

    explicit ScriptedMessageBoxes(int defaultAnswer = mrOk);
    ~ScriptedMessageBoxes() override;
    ScriptedMessageBoxes(const ScriptedMessageBoxes&) = delete;
    ScriptedMessageBoxes& operator=(const ScriptedMessageBoxes&) = delete;

    void queue(int answer) { answers_.push_back(answer); }
    void setDefault(int answer) { default_ = answer; }
    const std::vector<Box>& boxes() const { return boxes_; }
    void clear() { boxes_.clear(); }

    int show(QWidget* owner, const QString& text, const QString& caption,
             MbButtons buttons, MbIcon icon) override;

private:
    std::vector<Box> boxes_;
    std::deque<int> answers_;
    int default_;
    MessageBoxService* previous_;
};

}  // namespace vtrl::platform
