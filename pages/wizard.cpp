#include "wizard.h"
#include "protocol/rules.h"
#include "record/record.h"

#include "pages/icon.h"

#include "shell/startup.h"
#include "serial/portnames.h"
#include "shell/uifont.h"
#include "platform/messagebox.h"
#include "vtrl_version.h"

#include <QApplication>
#include <QDateTime>
#include <QJsonArray>
#include <QJsonObject>
#include <QSysInfo>
#include <QTimer>

#include <cstdio>

namespace vtrl {

namespace {

template <auto& Variable>
TWizardChildForm* form()
{
    return Variable;
}

}  // namespace

const std::array<PageStep, 8>& WizardPageTable()
{
    static const std::array<PageStep, 8> table = {{
        {&form<frmIntroduction>, nullptr, &form<frmCommPortSel>, 3},
        {&form<frmCommPortSel>, &form<frmIntroduction>, &form<frmDevDisc>, 3},
        {&form<frmDevDisc>, &form<frmCommPortSel>, &form<frmConfigLocalPort>, 1},
        {&form<frmConfigLocalPort>, &form<frmDevDisc>, &form<frmConfigLocalDevice>, 3},
        {&form<frmConfigLocalDevice>, &form<frmConfigLocalPort>, &form<frmConfigRemotePort>, 2},
        {&form<frmConfigRemotePort>, &form<frmConfigLocalDevice>, &form<frmFlashUpdate>, 1},
        {&form<frmFlashUpdate>, &form<frmConfigRemotePort>, &form<frmFinish>, 3},
        {&form<frmFinish>, &form<frmFlashUpdate>, nullptr, 3},
    }};
    return table;
}

namespace {

template <class Form>
void create(std::unique_ptr<Form>& owner, Form*& variable)
{
    owner = std::make_unique<Form>();
    variable = owner.get();
}

template <class Form>
void destroy(std::unique_ptr<Form>& owner, Form*& variable)
{
    variable = nullptr;
    owner.reset();
}

// Leaving an unfinished wizard while the device is connected tells the device
// to abort the configuration.
void AbortOnUnfinishedClose(TfrmMain& main)
{
    // A search running under the closed window must not go on to the next
    // port, nor connect after the device has been told.
    if (frmCommPortSel)
        frmCommPortSel->AbandonAttempt();
    if (main.ModalResult == 1 || !frmCommPortSel || !frmCommPortSel->Connected)
        return;
    while (main.Commands(nullptr).SendAbort() != 0) {
        if (platform::ShowMessageBox(&main, QStringLiteral("Abort message not sent."), QStringLiteral("Error"),
                                     platform::MbButtons::RetryCancel, platform::MbIcon::None)
            != platform::mrRetry)
            return;
    }
    // The device has been told; release the port now rather than whenever
    // the window goes, and so that the window does not close it again.
    if (main.PortHandle > 0) {
        main.ClosePort();
    }
}

}  // namespace

Wizard::Wizard()
{
    // The table is bound before the first form exists.
    const PageTable table = WizardPageTable();
    main_ = std::make_unique<TfrmMain>(table);
    frmMain = main_.get();
    main_->OnFormClose = &AbortOnUnfinishedClose;
    create(devDisc_, frmDevDisc);
    create(commPortSel_, frmCommPortSel);
    create(introduction_, frmIntroduction);
    create(finish_, frmFinish);
    create(configRemotePort_, frmConfigRemotePort);
    create(flashUpdate_, frmFlashUpdate);
    create(configLocalPort_, frmConfigLocalPort);
    create(configLocalDevice_, frmConfigLocalDevice);
    // The fonts of this PC, at its scaling, decide what fits.
    FitWizardFont({main_.get(), devDisc_.get(), commPortSel_.get(), introduction_.get(), finish_.get(),
                   configRemotePort_.get(), flashUpdate_.get(), configLocalPort_.get(), configLocalDevice_.get()});
}

Wizard::~Wizard()
{
    destroy(configLocalDevice_, frmConfigLocalDevice);
    destroy(configLocalPort_, frmConfigLocalPort);
    destroy(flashUpdate_, frmFlashUpdate);
    destroy(configRemotePort_, frmConfigRemotePort);
    destroy(finish_, frmFinish);
    destroy(introduction_, frmIntroduction);
    destroy(commPortSel_, frmCommPortSel);
    destroy(devDisc_, frmDevDisc);
    destroy(main_, frmMain);
}


QString RecordSave(const TfrmMain& main, const QString& where)
{
    if (record::IsOff(where))
        return QString();
    const auto unit = [](const DeviceAddress& a, const VersionRecord& v) {
        return QJsonObject{{QStringLiteral("address"), QString::fromStdString(protocol::FormatAddress(a))},
                           {QStringLiteral("applicationVersion"), QString::fromLatin1(protocol::ApplicationVersionText(v))},
                           {QStringLiteral("bluetoothVersion"), QString::fromLatin1(protocol::BluetoothVersionText(v))}};
    };
    const auto lines = [](const protocol::DeviceConfig& c) {
        const protocol::ConfigurationLines l = protocol::DescribeConfiguration(c);
        QJsonArray a{QString::fromStdString(l.format), QString::fromStdString(l.flowControl), QString::fromStdString(l.deviceType)};
        if (l.bondedTo)
            a.append(QString::fromStdString(*l.bondedTo));
        return a;
    };
    const QString station = qEnvironmentVariable("VTRLCFG_STATION", QSysInfo::machineHostName());
    QJsonObject settings{{QStringLiteral("local"), lines(main.LocalConfig)}};
    QJsonObject run{{QStringLiteral("time"), QDateTime::currentDateTimeUtc().toString(Qt::ISODateWithMs)},
                    {QStringLiteral("program"), QStringLiteral("wizard")},
                    {QStringLiteral("station"), station},
                    {QStringLiteral("host"), QSysInfo::machineHostName()},
                    {QStringLiteral("labels"), QJsonObject{}},
                    {QStringLiteral("port"), QStringLiteral("COM Port %1").arg(main.OpenedPort)},
                    {QStringLiteral("device"), unit(main.LocalDeviceAddress, main.LocalVersion)},
                    {QStringLiteral("steps"), QJsonArray{QJsonObject{{QStringLiteral("step"), QStringLiteral("save to flash")},
                                                                     {QStringLiteral("result"), QStringLiteral("ok")}}}},
                    {QStringLiteral("verification"), QJsonObject{{QStringLiteral("result"), QStringLiteral("not done")}}},
                    {QStringLiteral("flash"), QStringLiteral("saved")},
                    {QStringLiteral("ms"), 0},
                    {QStringLiteral("exit"), 0}};
    // Only a pair has a remote; the PIN is never written (the lines hold none).
    if (main.DeviceFunction == protocol::kCableReplacement && main.LocalConfig.BondedAddress != DeviceAddress{}) {
        run[QStringLiteral("remote")] = unit(main.LocalConfig.BondedAddress, main.RemoteVersion);
        settings[QStringLiteral("remote")] = lines(main.RemoteConfig);
    }
    run[QStringLiteral("profile")] = QJsonObject{{QStringLiteral("settings"), settings}};
    QString error;
    const auto store = record::Store::Open(where, error);
    if (!store)
        return error;
    return store->Append(run);
}

int RunWizard(const QString& titleNote)
{
    QApplication::setApplicationName(QStringLiteral("VtrlCfg"));
    QApplication::setApplicationVersion(QString::fromLatin1(kVersion));
    // Title bar and task switcher; the desktop entry names the same icon.
    QApplication::setWindowIcon(WizardIcon());
    QApplication::setFont(WizardFont());
    return RunGuarded([&titleNote] {
        // Extra device paths (the simulator's pseudo-terminal) join the COM list.
        serial::RegisterPortsFromEnvironment();
        Wizard wizard;
        wizard.main().OnSaveConfirmed = [](const TfrmMain& main) {
            const QString where = record::DefaultLocation();
            const QString why = RecordSave(main, where);
            if (!why.isEmpty())
                std::fprintf(stderr, "vtrlcfg: cannot append the save to the record %s: %s\n", qPrintable(where), qPrintable(why));
        };
        wizard.main().TitleNote = titleNote;
        wizard.main().show();
        if (qEnvironmentVariableIntValue("VTRLCFG_EXIT_AFTER_SHOW") == 1) {
            // Queued behind the first paint of the shown page.
            QTimer::singleShot(0, [] {
                std::fputs("vtrlcfg: first page shown\n", stderr);
                QApplication::exit(0);
            });
        }
        return QApplication::exec();
    });
}

}  // namespace vtrl
