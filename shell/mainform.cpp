#include "mainform.h"

#include "platform/messagebox.h"
#include "shell/childform.h"
#include "shell/uifont.h"

#include <QCloseEvent>
#include <QGuiApplication>
#include <QScreen>

namespace vtrl {

using platform::MbButtons;
using platform::MbIcon;

namespace {

void setupButton(QPushButton& button, const char* name, const QString& text, int x)
{
    button.setObjectName(QString::fromLatin1(name));
    button.setText(text);
    button.setGeometry(x, 272, 75, 25);
    button.setAutoDefault(false);
}

}  // namespace

TfrmMain::TfrmMain(PageTable pageTable, QWidget* parent)
    : QWidget(parent, Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint
                          | Qt::WindowSystemMenuHint | Qt::WindowMinimizeButtonHint
                          | Qt::WindowCloseButtonHint | Qt::MSWindowsFixedSizeDialogHint),
      pnlMain(this), bevBtnSeparator(this), btnBack(this), btnNext(this), btnCancel(this),
      btnFinish(this), RemoteConfig(protocol::RemoteConfig), LocalConfig(protocol::LocalConfig),
      table_(pageTable), escape_(QKeySequence(Qt::Key_Escape), this), enter_(QKeySequence(Qt::Key_Return), this),
      keypadEnter_(QKeySequence(Qt::Key_Enter), this)
{
    setObjectName(QStringLiteral("frmMain"));
    setWindowTitle(QStringLiteral("Configuration Wizard"));
    setFont(WizardFont());
    setFixedSize(466, 299);

    pnlMain.setObjectName(QStringLiteral("pnlMain"));
    pnlMain.setGeometry(4, 4, 457, 253);
    pnlMain.setFrameStyle(QFrame::Panel | QFrame::Sunken);
    pnlMain.setLineWidth(1);

    bevBtnSeparator.setObjectName(QStringLiteral("bevBtnSeparator"));
    bevBtnSeparator.setGeometry(0, 260, 465, 5);
    bevBtnSeparator.setFrameStyle(QFrame::HLine | QFrame::Sunken);

    setupButton(btnBack, "btnBack", QStringLiteral("< Back"), 212);
    setupButton(btnNext, "btnNext", QStringLiteral("Next >"), 288);
    setupButton(btnCancel, "btnCancel", QStringLiteral("Cancel"), 384);
    setupButton(btnFinish, "btnFinish", QStringLiteral("Finish"), 384);
    btnBack.hide();
    btnNext.setEnabled(false);
    // Cancel and Finish share a place; the page table shows one of them.
    btnFinish.hide();

    connect(&btnBack, &QPushButton::clicked, this, &TfrmMain::btnBackClick);
    connect(&btnNext, &QPushButton::clicked, this, &TfrmMain::btnNextClick);
    connect(&btnCancel, &QPushButton::clicked, this, &TfrmMain::btnCancelClick);
    connect(&btnFinish, &QPushButton::clicked, this, &TfrmMain::btnFinishClick);
    // Esc presses Cancel, but only while Cancel can be pressed.
    // Enter presses Next, the default button, where Next can be pressed.
    btnNext.setDefault(true);
    for (QShortcut* enter : {&enter_, &keypadEnter_})
        connect(enter, &QShortcut::activated, this, [this] {
            if (btnNext.isVisible() && btnNext.isEnabled())
                btnNext.click();
        });
    connect(&escape_, &QShortcut::activated, this, [this] {
        if (btnCancel.isVisible() && btnCancel.isEnabled())
            btnCancel.click();
    });
    centreOnScreen();
}

TfrmMain::~TfrmMain()
{
    // The port's callback posts to this window; no callback may outlive it.
    ClosePort();
    // Pages belong to the start-up owner, not to pnlMain: hand every page
    // shown so far back before the panel would delete them with itself.
    for (TWizardChildForm* page : pnlMain.findChildren<TWizardChildForm*>(Qt::FindDirectChildrenOnly)) {
        page->hide();
        page->setParent(nullptr);
    }
}

int TfrmMain::SetNotifyWindow(QWidget* window)
{
    if (!window)
        return -1;
    notifyWindow_ = window;
    return 0;
}

std::uint8_t TfrmMain::ShowPage(TWizardChildForm* page)
{
    std::uint8_t result = 1;
    if (shownPage_)
        shownPage_->hide();
    if (page) {
        page->setParent(&pnlMain);
        page->setGeometry(0, 0, pnlMain.width(), pnlMain.height());
        page->show();
        result = page->PageEntered(*this);
        setWindowTitle(QStringLiteral("Vantrel Configuration - ") + page->Caption() + TitleNote);
    }
    shownPage_ = page;
    return result;
}

void TfrmMain::UpdateButtons(std::optional<std::size_t> step)
{
    if (!step || *step >= table_.size())
        return;
    const PageStep& row = table_[*step];
    const bool hasPrevious = row.previous && row.previous();
    const bool hasNext = row.next && row.next();
    btnBack.setVisible(hasPrevious && hasNext);
    btnNext.setVisible(hasNext);
    btnFinish.setVisible(!hasNext);
    btnCancel.setVisible(hasNext);
}

void TfrmMain::FormShow()
{
    currentStep_.reset();
    for (std::size_t i = 0; i < table_.size(); ++i) {
        const PageStep& row = table_[i];
        TWizardChildForm* page = row.page ? row.page() : nullptr;
        if (!page)
            continue;
        page->hide();
        if (TWizardChildForm* next = row.next ? row.next() : nullptr)
            next->hide();
        TWizardChildForm* previous = row.previous ? row.previous() : nullptr;
        if (!previous) {
            currentStep_ = i;
            break;
        }
        previous->hide();
    }
    ShowPage(currentStep_ ? table_[*currentStep_].page() : nullptr);
    UpdateButtons(currentStep_);
}

std::optional<std::size_t> TfrmMain::findRow(TWizardChildForm* page) const
{
    // Always from the top: the previous and next columns name pages, not rows.
    for (std::size_t i = 0; i < table_.size(); ++i)
        if (table_[i].page && table_[i].page() == page)
            return i;
    return std::nullopt;
}

void TfrmMain::navigate(bool forward)
{
    if (!currentStep_)
        return;
    TWizardChildForm* current = table_[*currentStep_].page();
    if (current && current->PageLeaving(forward ? &btnNext : &btnBack) != 0)
        return;

    // Follow the chain past the rows whose mask excludes the device
    // function. A chain that loops or runs off the table changes nothing.
    std::optional<std::size_t> step = currentStep_;
    for (std::size_t hops = 0; hops <= table_.size(); ++hops) {
        const PageStep& row = table_[*step];
        const PageRef link = forward ? row.next : row.previous;
        TWizardChildForm* target = link ? link() : nullptr;
        if (!target)
            return;
        step = findRow(target);
        if (!step)
            return;
        if (table_[*step].mask & DeviceFunction) {
            currentStep_ = step;
            if (ShowPage(table_[*step].page()) == 0)
                UpdateButtons(currentStep_);
            return;
        }
    }
}

void TfrmMain::btnNextClick()
{
    navigate(true);
}

void TfrmMain::btnBackClick()
{
    navigate(false);
}

void TfrmMain::btnCancelClick()
{
    ModalResult = 2;
    close();
}

void TfrmMain::btnFinishClick()
{
    ModalResult = 1;
    close();
}

bool TfrmMain::FormCloseQuery()
{
    if (ModalResult == 1)
        return true;
    return platform::ShowMessageBox(this,
                                    QStringLiteral("Device configuration is incomplete -- Quit anyway?"),
                                    QStringLiteral("Quit"), MbButtons::YesNo, MbIcon::Question)
        == platform::mrYes;
}

void TfrmMain::FormClose()
{
    if (OnFormClose)
        OnFormClose(*this);
}

void TfrmMain::showEvent(QShowEvent* event)
{
    QWidget::showEvent(event);
    if (!shownOnce_ && !event->spontaneous()) {
        shownOnce_ = true;
        FormShow();
    }
}

void TfrmMain::closeEvent(QCloseEvent* event)
{
    if (!FormCloseQuery()) {
        event->ignore();
        return;
    }
    FormClose();
    event->accept();
}

void TfrmMain::centreOnScreen()
{
    if (QScreen* screen = QGuiApplication::primaryScreen()) {
        const QRect area = screen->availableGeometry();
        QWidget::move(area.center() - QPoint(width() / 2, height() / 2));
    }
}

}  // namespace vtrl
