#pragma once
// The SPP Server sequence against one simulated device, walked to the local
// device page or to the save page.

#include "pagefixture.h"

#include <functional>

#include "pages/configlocaldevice.h"
#include "pages/configlocalport.h"
#include "pages/flashupdate.h"
#include "sim/device.h"

namespace vtrl::testing {

class SppPagesTest : public CommPortPageTest {
protected:
    // Connects on the COM port page and walks on to the local device page.
    void OpenLocalDevicePage(int configMs = 50, const std::function<void(sim::DeviceConfig&)>& stored = {})
    {
        int port = 0;
        device = &AddDevice(&port);
        if (stored) {
            sim::DeviceConfig config = *device->workingConfig({});
            stored(config);
            device->setStoredConfig({}, config);
        }
        OpenPage(1);
        Connect(port);
        ASSERT_TRUE(ConfigurationShown());
        Next();
        ASSERT_EQ(main().ShownPage(), static_cast<TWizardChildForm*>(frmConfigLocalPort));
        // The local port page lets Next through once its settings are confirmed.
        QTest::mouseClick(&frmConfigLocalPort->btnSetLocalPortConfig, Qt::LeftButton);
        ASSERT_TRUE(WaitUntil([] { return frmConfigLocalPort->ConfigConfirmed; }));
        Next();
        ASSERT_EQ(main().ShownPage(), static_cast<TWizardChildForm*>(frmConfigLocalDevice));
        local().tmrConfig.setInterval(configMs);
        QObject::connect(&local(), &TfrmConfigLocalDevice::statusChanged,
                         [this](const QString& text) { localTrail.push_back(text); });
    }

    // As above, then a confirmed send and on to the save page.
    void OpenFlashPage(int timeoutMs = 400, int progressMs = 20)
    {
        OpenLocalDevicePage();
        ClickSetDevice();
        ASSERT_TRUE(WaitUntil([&] { return local().ConfigConfirmed; }));
        Next();
        ASSERT_EQ(main().ShownPage(), static_cast<TWizardChildForm*>(frmFlashUpdate));
        flash().tmrFlashUpdate.setInterval(timeoutMs);
        flash().tmrProgressBar.setInterval(progressMs);
        device->clearReceived();
    }

    void Next() { QTest::mouseClick(&main().btnNext, Qt::LeftButton); }
    void Back() { QTest::mouseClick(&main().btnBack, Qt::LeftButton); }
    void ClickSetDevice() { QTest::mouseClick(&local().btnSetLocalDeviceConfig, Qt::LeftButton); }
    void ClickSave() { QTest::mouseClick(&flash().btnSave, Qt::LeftButton); }

    // The operator replaces the text of an edit by typing.
    static void Type(QLineEdit& edit, const QString& text)
    {
        edit.selectAll();
        QTest::keyClick(&edit, Qt::Key_Delete);
        QTest::keyClicks(&edit, text);
    }

    // Payloads of the commands of one type the device received.
    std::vector<std::vector<std::uint8_t>> Sent(std::uint8_t type) const
    {
        std::vector<std::vector<std::uint8_t>> out;
        for (const sim::ReceivedFrame& f : device->received())
            if (f.crcOk && f.type == type)
                out.push_back(f.payload);
        return out;
    }

    // Set button, Next, Back: enabled or not.
    std::string DeviceButtons()
    {
        std::string s;
        for (const QWidget* w : {static_cast<QWidget*>(&local().btnSetLocalDeviceConfig),
                                 static_cast<QWidget*>(&main().btnNext), static_cast<QWidget*>(&main().btnBack)})
            s += w->isEnabled() ? '1' : '0';
        return s;
    }

    TfrmConfigLocalDevice& local() { return *frmConfigLocalDevice; }
    TfrmFlashUpdate& flash() { return *frmFlashUpdate; }

    sim::Simulator* device = nullptr;
    QStringList localTrail;
};

}  // namespace vtrl::testing
