// A burst of 10,000 InquiryResults during an inquiry: every wanted unit is
// listed once, the count is right, and the wizard is usable afterwards.
#include "hardening.h"

#include <QSet>

using namespace vtrl;
using namespace vtrl::testing;

TEST_F(HardeningTest, InquiryFloodListsEachWantedUnitOnceAndCountsIt)
{
    sim::Simulator& device = AddVanishingDevice();
    device.clearRemotes();
    sim::InquiryScript endless;
    endless.completeMissing = true;  // the flood's end is sent below
    device.setInquiry(endless);
    OpenPage(kCable);
    ASSERT_TRUE(ReachDiscovery());
    TfrmDevDisc& disc = *frmDevDisc;
    disc.tmrInquiry.setInterval(60000);  // the burst, not the clock, ends this inquiry
    const QStringList listed = disc.ItemAddresses();

    QTest::mouseClick(&disc.btnSearchDevices, Qt::LeftButton);
    ASSERT_TRUE(disc.tmrInquiry.isActive());
    device.sendUnaskedMany(sim::type::InquiryResult, sim::inquiryFlood(1000, 10000));
    device.sendUnasked(sim::type::InquiryComplete, {});
    ASSERT_TRUE(WaitUntil([&] { return !disc.tmrInquiry.isActive(); }, 60000)) << disc.Panel0.text().toStdString();

    const QStringList items = disc.ItemAddresses();
    const QSet<QString> distinct(items.begin(), items.end());
    EXPECT_EQ(distinct.size(), items.size()) << "a unit listed twice";
    QSet<QString> wanted;
    for (int n = 0; n < 1000; ++n)
        wanted.insert(QStringLiteral("02000000%1").arg(n, 4, 16, QLatin1Char('0')).toUpper());
    EXPECT_TRUE(distinct.contains(wanted));
    EXPECT_EQ(items.size(), 1000 + listed.size() - QSet<QString>(listed.begin(), listed.end()).intersect(wanted).size())
        << "only the wanted units are added";
    EXPECT_EQ(disc.NewDeviceCount, 1000);
    EXPECT_EQ(disc.Panel0.text(), "Inquiry complete. 1000 new device(s) found.");
    EXPECT_TRUE(boxes.boxes().empty());
    EXPECT_EQ(main().ReceiverState(), 0);
}
