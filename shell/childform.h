#pragma once
// Base of every wizard page, and the Tasks panel most pages show.

#include <QGroupBox>
#include <QLabel>
#include <QPushButton>
#include <QWidget>

#include <cstdint>

namespace vtrl {

class TfrmMain;

// A page: created hidden as its own top-level widget and embedded in the main
// window's panel when shown. Its caption is its windowTitle().
class TWizardChildForm : public QWidget {
    Q_OBJECT
public:
    explicit TWizardChildForm(QWidget* parent = nullptr);
    ~TWizardChildForm() override;

    QString Caption() const { return windowTitle(); }

    // Called right after the page was embedded and shown. 0 lets the main
    // window set the buttons from the page table; nonzero leaves them as the
    // page set them.
    virtual std::uint8_t PageEntered(TfrmMain& main);
    // Called before the wizard moves away; `pressed` is the main window's
    // btnNext or btnBack. Nonzero keeps the wizard on this page.
    virtual std::uint8_t PageLeaving(QPushButton* pressed);
};

// Which label the Tasks panel's fourth row carries.
enum class FourthTask { ConfigRemotePort, ConfigLocalDevice };

// The "Tasks" group with the five step labels and the arrow beside the
// page's own step. Lives as a member of its page.
class TasksPanel {
public:
    struct Layout {
        QString firstLabel;  // "Select COM Port" or "Select Comm Port"
        FourthTask fourth;
        int arrowY;
    };
    TasksPanel(QWidget* page, const Layout& layout);

    // The adaptation that pages shown for both functions make when entered.
    void AdaptToDeviceFunction(std::uint8_t deviceFunction);

    QGroupBox grpTasks;
    QLabel lblCommPortSel;
    QLabel lblDevDisc;
    QLabel lblConfigLocalPort;
    QLabel lblFourth;  // objectName lblConfigRemotePort or lblConfigLocalDevice
    QLabel lblFlashUpdate;
    QLabel imgArrow;
};

}  // namespace vtrl
