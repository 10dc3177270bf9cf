#pragma once
// The wizard against a device that misbehaves: a fixture over the COM port
// page's one, with a device that can vanish and come back at the same path.

#include "../pages/pagefixture.h"

#include "protocol/params.h"
#include "sim/device.h"

#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

namespace vtrl::testing {

// Both configuration records, field by field.
struct ConfigSnapshot {
    std::vector<std::uint8_t> local, remote;
    bool operator==(const ConfigSnapshot&) const = default;
};

inline void PrintTo(const ConfigSnapshot& s, std::ostream* os)
{
    *os << "local " << ::testing::PrintToString(s.local) << ", remote " << ::testing::PrintToString(s.remote);
}

class HardeningTest : public CommPortPageTest {
public:
    using CommPortPageTest::ClickSet;
    using CommPortPageTest::ConfigurationShown;
    using CommPortPageTest::main;
    using CommPortPageTest::page;
    using CommPortPageTest::Select;

    int port = 0;

    void TearDown() override
    {
        CommPortPageTest::TearDown();
        if (!linkDir_.empty())
            std::filesystem::remove_all(linkDir_);
    }

    // A device registered under a link of its own, which follows it when it
    // vanishes and comes back.
    sim::Simulator& AddVanishingDevice()
    {
        char dir[] = "/tmp/vtrl-vanish-XXXXXX";
        EXPECT_NE(::mkdtemp(dir), nullptr);
        linkDir_ = dir;
        sims.push_back(std::make_unique<sim::Simulator>());
        sim::Simulator& s = *sims.back();
        EXPECT_TRUE(s.start()) << s.errorText();
        const std::string link = linkDir_ + "/device";
        EXPECT_TRUE(s.setStablePath(link));
        port = static_cast<int>(serial::RegisterPortPath(link));
        EXPECT_GT(port, 0);
        return s;
    }

    static ConfigSnapshot Snapshot()
    {
        const auto bytes = [](const protocol::ParameterDescriptor* row) {
            std::vector<std::uint8_t> out;
            for (; row->tag != 0; ++row)
                out.insert(out.end(), row->field, row->field + row->width);
            return out;
        };
        return {bytes(protocol::LocalDescriptors()), bytes(protocol::RemoteDescriptors())};
    }

    // Panel 0 of the status bar of the page on show.
    QString Status() { return page().StatusText(0); }

private:
    std::string linkDir_;
};

}  // namespace vtrl::testing
