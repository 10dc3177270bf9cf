#pragma once
// The Advanced dialog: power level, CD output, link time-out and a link-key
// reset, each opener showing only what applies to its page.

#include <QCheckBox>
#include <QComboBox>
#include <QDialog>
#include <QGroupBox>
#include <QLabel>
#include <QPushButton>
#include <QSpinBox>

#include <cstdint>

namespace vtrl {

class TfAdvanced : public QDialog {
    Q_OBJECT
public:
    // `owner` is the opening page. The dialog is made for one opening:
    // create, load, ShowModal, read back, destroy.
    explicit TfAdvanced(QWidget* owner);
    ~TfAdvanced() override;

    QCheckBox cbLKInit;
    QLabel lbPowerLevel;
    QComboBox cbPowerLevel;  // filled by the opener
    QLabel lbLinkTimeout;
    QSpinBox seLinkTimeout;  // 0..40; values set or typed outside are clamped
    QGroupBox gbCDOutputSelect;
    QCheckBox cbOutOnCD;
    QPushButton bOK;
    QPushButton bCancel;

    // Centred on the main window, modal; true when closed with OK.
    bool ShowModal();
};

// The dialog while one is open, else null. Lets tests reach the modal dialog.
extern TfAdvanced* fAdvanced;

// What a port settings page keeps for the dialog.
struct PortAdvancedValues {
    int PowerLevel = 0;       // low four bits of the power byte
    int PowerClass = 0;       // high four bits, in place (0x10, 0x20, ...)
    std::uint8_t OutputOnCD = 0;
    bool operator==(const PortAdvancedValues&) const = default;
};

// A port settings page's Advanced button: loads the dialog from `values`,
// runs it and on OK reads the level and CD output back. `dce` is the page's
// chkDCE: without it the CD output is off and cannot be chosen. A level the
// class does not offer is lowered to 4 before the dialog runs, so it stays
// lowered after Cancel too. True on OK; the caller then marks its page changed.
bool RunPortAdvanced(QWidget* page, bool dce, PortAdvancedValues& values);

// The local device page's Advanced button: link time-out (shown clamped to
// 0..40, and OK takes what was shown) and, only while authentication is on,
// the link-key reset. True on OK with both written back (the reset true only
// when offered and ticked); the caller then marks its page changed. Cancel
// writes nothing.
bool RunDeviceAdvanced(QWidget* page, bool authentication, std::uint16_t& linkTimeout, bool& resetLinkKeys);

}  // namespace vtrl
