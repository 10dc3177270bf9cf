// What of following ports vtrlctl has on Windows: nothing yet. The serial
// library's watcher there has nothing to wait on (its list changes only when
// taken again), and taking it again probes every COM number by opening it,
// which a watch must not do to other programs' ports again and again.
#include "ctl/command.h"
#include "ctl/ports_list.h"

namespace vtrl::ctl {

bool PortsFollowed() { return false; }

bool PathsNamePorts() { return false; }

int WatchPorts(bool, QTextStream&, const std::function<int(int, const QString&)>& error, const std::function<void(const QString&)>&)
{
    return error(kExitUsage, QStringLiteral("ports --watch is not available on Windows: this build cannot follow ports "
                                            "plugged in or pulled out; run vtrlctl ports again to see what is there now"));
}

}  // namespace vtrl::ctl
