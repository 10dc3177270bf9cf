// Findings of the model test, each replayed as a plain test: the seed, and
// the shortened action list that showed the fault. The device's behaviour
// comes from the seed, command by command.
#include "model.h"

namespace vtrl::model {

const std::vector<Replay>& Replays()
{
    static const std::vector<Replay> table = {
        {"Next while the local port page waits passes on values the device never took", 20,
         "Unasked:1:185 HangUp:70 CancelNo Unasked:1:220 AutoDetect CancelNo Unasked:2:34 Next CancelNo Set "
         "PortAdvanced:0:4:1 DCE Set Next"},
        {"a resend keeps the page confirmed for the values before it", 4,
         "AutoDetect Next Set Wait:20 Back Next Pick:4:0 Set"},
        {"a failed bonding write while bonded leaves only Cancel", 15,
         "AutoDetect Next HangUp:22 Select:0 Bond Wait:510 Wait:125 Wait:125 Wait:125 Wait:125 Wait:255"},
        {"a link time-out above 255 is cut to 8 bits on a plain Set", 20,
         "AutoDetect Next Set Wait:1 Wait:1 Next Set DeviceAdvanced:0:2:1 Next"},
        {"the remote page passes on values it never sent once the local page changed", 5246,
         "SetCom Next Select:3 Bond Next Set Set PortAdvanced:0:0:1 Next Set Set Wait:5 Back Pick:1:0 Pick:4:1 Set Wait:45 Next"},
        {"an earlier send's repeated answer confirms a refused resend", 5278,
         "Wait:5 AutoDetect Next Back Wait:60 Next Pick:1:0 Set PortAdvanced:0:2:1 Next Auth Wait:15 Set Set Set Name:0 "
         "Pin:0 Set"},
        {"another page's answer ends the local port page's wait", 5150,
         "SetCom Next Set Pick:0:3 Back Next Next Set Set Wait:1 Set Enc Back Pick:0:1 Set"},
        {"a chain of bondings resumes on a unit the device is not bonded to", 21395,
         "SetCom Wait:60 Next Search Search Search Select:2 Bond Select:1 Bond Select:2 Bond Select:1 Bond"},
        {"a bonding to a third unit asks the configuration of an earlier one", 5107,
         "SetCom Next Search Search Select:0 Search Bond Select:1 Bond Select:3 Bond"},
        {"a bonding cut off by the line leaves the page bonded to its unit", 4032187,
         "SetCom Next Search Search Select:2 Bond Bond Select:0 Ping Select:2 Wait:125 Bond HangUp:31"},
        // Found with the three kinds of device, on the ledger that picked an
        // owner for every answer; they pass once a claim needs proof.
        {"a refused configuration read lets the wizard on from the discovery page", 1131,
         "SetCom Next Select:3 Bond Back Next Next"},
        {"a connection that timed out while the version was on its way lets the wizard on from the discovery page", 5,
         "SetCom Wait:5 SetCom Next Select:1 Ping Back Next Next"},
        {"a late bonding result lets the wizard on from the discovery page with nothing read", 1008,
         "SetCom SetCom Wait:60 SetCom Wait:5 CancelNo SetCom Wait:5 SetCom Wait:250 HangUp:10 SetCom Wait:5 HangUp:57 "
         "SetCom Wait:1 Wait:1 SetCom SetCom Wait:5 SetCom Wait:5 SetCom Next Select:2 Bond Wait:1005 Back Next Next"},
        {"a name the device cannot carry is shown as held", 1077, "SetCom Next Set Next Name:4 Set"},
        {"a bonding that timed out while a refused search ran out leaves the page bonded", 9023003,
         "SetCom Next Search Select:3 Bond Select:2 Ping Wait:1005 Bond Select:0 Wait:125 Search Bond Wait:125 Wait:125"},
        {"the Finish page taken for one without a way on while a late search is still answered", 9107356,
         "AutoDetect Next Select:2 Search Search Bond Bond Next Set Back Next Set Next Set Next Save"},
    };
    return table;
}

}  // namespace vtrl::model
