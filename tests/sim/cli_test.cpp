#include "cli.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <iterator>
#include <regex>

using namespace vtrl::sim;

namespace {

std::string run(Simulator& sim, std::vector<std::string> args, CliOptions* out = nullptr)
{
    CliOptions options;
    auto error = applyArguments(args, sim, options);
    if (out)
        *out = options;
    return error;
}

}  // namespace

TEST(SimCli, DefaultsMakeAVersionTheWizardAcceptsAndACableReplacementDevice)
{
    Simulator sim;
    const auto local = sim.local();
    EXPECT_EQ(local.appVersion.substr(13, 4), "3.05");
    const auto c = *sim.workingConfig({});
    EXPECT_EQ(c.deviceFunction, 1);
    EXPECT_EQ(c.baudCode, 6);
    EXPECT_EQ(c.flowControlCode, 3);
    EXPECT_EQ(c.interfaceCode, 2);
    EXPECT_EQ(c.bondRole, 1);
    EXPECT_EQ(c.powerByte & 0xF0, 0x10);
    EXPECT_EQ(sim.remotes().size(), 4u) << "three units and a phone";
    EXPECT_EQ(sim.workingConfig(c.bondedAddress)->bondedAddress, local.address);
}

TEST(SimCli, OptionsScriptTheDevices)
{
    Simulator sim;
    CliOptions options;
    ASSERT_EQ(run(sim,
                  {"--address", "112233445566", "--function", "spp", "--baud", "115200", "--config", "14=0x21",
                   "--remote", "AABBCCDDEEFF,Far Away,Vantrel App V2.09", "--remote", "AABBCCDDEE00,Near",
                   "--remote-config", "AABBCCDDEE00:3=2", "--link", "/tmp/x", "--refuse", "14:2:once",
                   "--flash-out", "/tmp/flash.txt", "--late", "11:2000", "--confirm-as", "14:11", "--in-order"},
                  &options),
              "");
    EXPECT_EQ(options.link, "/tmp/x");
    EXPECT_EQ(options.flashOut, "/tmp/flash.txt");
    EXPECT_EQ(sim.local().address, *parseAddress("112233445566"));
    const auto c = *sim.workingConfig({});
    EXPECT_EQ(c.deviceFunction, 2);
    EXPECT_EQ(c.baudCode, 10);
    EXPECT_EQ(c.powerByte, 0x21);
    const auto remotes = sim.remotes();
    ASSERT_EQ(remotes.size(), 2u);
    EXPECT_EQ(remotes[0].appVersion, "Vantrel App V2.09");
    EXPECT_EQ(remotes[0].config.name(), "Far Away");
    EXPECT_EQ(sim.workingConfig(*parseAddress("AABBCCDDEE00"))->baudCode, 2);
    EXPECT_EQ(sim.answerOrder(), AnswerOrder::InOrder);
    ASSERT_EQ(run(sim, {"--in-order", "--busy"}), "");
    EXPECT_EQ(sim.answerOrder(), AnswerOrder::Busy) << "the last order given counts";
}

TEST(SimCli, DiscoveryOptionsScriptTheRemotes)
{
    Simulator sim;
    const std::string dock = "001BDC0A9ABC";
    ASSERT_EQ(run(sim, {"--inquiry-name", dock + ":Vantrel/C Dock", "--remote-version", dock + ":Vantrel App V2.09",
                        "--remote-silent", dock, "--inquiry-duplicates", "2", "--no-inquiry-complete",
                        "--no-ping-confirm", "--ping-connection", "2", "--bond-delay-ms", "10", "--no-connect"}),
              "");
    for (const auto& r : sim.remotes()) {
        if (formatAddress(r.address) != dock)
            continue;
        EXPECT_EQ(r.inquiryName, "Vantrel/C Dock");
        EXPECT_EQ(r.appVersion, "Vantrel App V2.09");
    }
    for (const std::vector<std::string>& row : std::vector<std::vector<std::string>>{
             {"--inquiry-name", "AABBCCDDEEFF:x"}, {"--remote-silent", "AABBCCDDEEFF"},
             {"--inquiry-duplicates", "-1"}, {"--ping-connection", "300"}, {"--remote-version", dock}}) {
        Simulator other;
        EXPECT_NE(run(other, row).find(row[0]), std::string::npos) << row[0];
    }
}

TEST(SimCli, RejectsMalformedValuesWithTheOptionNamed)
{
    const std::vector<std::vector<std::string>> rows{
        {"--address", "12345"},       {"--baud", "9601"},         {"--baud", "0"},
        {"--function", "modem"},      {"--config", "19=1"},       {"--config", "3"},
        {"--remote", "AABBCCDDEEFF"}, {"--remote", "000000000000,Self"}, {"--refuse", "14"},
        {"--refuse", "14:2:twice"},   {"--delay-ms", "-5"},       {"--bad-crc"},
        {"--remote-config", "AABBCCDDEEFF:3=1"},   // not a known remote
        {"--late", "11"},             {"--late", "11:-1"},        {"--confirm-as", "14:256"},
        {"--frobnicate"}};
    for (const auto& row : rows) {
        Simulator sim;
        const auto error = run(sim, row);
        EXPECT_NE(error.find(row[0]), std::string::npos) << row[0] << " gave \"" << error << "\"";
    }
}

// The manual page and the option table that parses and lists the options
// name the same ones: an option added, renamed or dropped on one side only
// is caught here.
TEST(SimCli, TheManualPageNamesExactlyTheOptionsParsed)
{
    std::ifstream file(VTRL_SOURCE_DIR "/sim/vtrlsim.1");
    ASSERT_TRUE(file);
    const std::string page((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    std::vector<std::string> documented;
    const std::regex spelt(R"(\\-\\-[a-z](\\-|[a-z])*)");
    for (auto it = std::sregex_iterator(page.begin(), page.end(), spelt); it != std::sregex_iterator(); ++it)
        documented.push_back(std::regex_replace(it->str(), std::regex(R"(\\-)"), "-"));
    const std::vector<std::string> parsed = optionNames();
    for (const std::string& name : documented)
        EXPECT_NE(std::find(parsed.begin(), parsed.end(), name), parsed.end()) << name << " is documented, not parsed";
    for (const std::string& name : parsed) {
        if (name.rfind("--", 0) != 0)
            continue;
        EXPECT_NE(std::find(documented.begin(), documented.end(), name), documented.end()) << name << " is not documented";
        EXPECT_NE(usageText().find("  " + name + " "), std::string::npos) << name << " is not in --help";
    }
}
