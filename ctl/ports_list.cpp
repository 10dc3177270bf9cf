#include "ctl/command.h"
#include "ctl/ports_list.h"

#include "probe.h"

#include <QJsonArray>
#include <QJsonDocument>

#include <algorithm>

namespace vtrl::ctl {

QString EntryState(serial::PortEntry::State state)
{
    switch (state) {
    case serial::PortEntry::State::Free: return QStringLiteral("free");
    case serial::PortEntry::State::OpenHere: return QStringLiteral("open here");
    case serial::PortEntry::State::InUse: return QStringLiteral("in use");
    case serial::PortEntry::State::Denied: return QStringLiteral("no permission");
    case serial::PortEntry::State::Failed: break;
    }
    return QStringLiteral("error");
}


namespace {

QString EntryReason(const serial::PortEntry& e)
{
    if (e.state == serial::PortEntry::State::InUse) {
        const QString who = Text(serial::HolderText(e.holder));
        return QStringLiteral("by ") + (who.isEmpty() ? QStringLiteral("another program") : who);
    }
    if (e.state == serial::PortEntry::State::OpenHere)
        return QStringLiteral("by this program");
    QString why = Text(e.detail);
    if (!e.joinGroup.empty())
        why += QStringLiteral("; ") + JoinHint(e.joinGroup);
    return why;
}

}  // namespace

QJsonObject EntryJson(const serial::PortEntry& e)
{
    QJsonObject o{{QStringLiteral("port"), static_cast<int>(e.port)},
                  {QStringLiteral("item"), PortName(PortChoice{e.port, e.path})},
                  {QStringLiteral("path"), Text(e.path)},
                  {QStringLiteral("device"), Text(e.device)},
                  {QStringLiteral("state"), EntryState(e.state)}};
    if (!e.detail.empty())
        o[QStringLiteral("detail")] = Text(e.detail);
    if (e.console)
        o[QStringLiteral("console")] = true;
    if (!e.joinGroup.empty())
        o[QStringLiteral("joinGroup")] = Text(e.joinGroup);
    if (e.holder.pid > 0 || !e.holder.program.empty()) {
        QJsonObject holder{{QStringLiteral("program"), Text(e.holder.program)}};
        if (e.holder.pid > 0)
            holder[QStringLiteral("pid")] = e.holder.pid;
        o[QStringLiteral("holder")] = holder;
    }
    const serial::PortIdentity& id = e.identity;
    const std::pair<const char*, const std::string*> fields[] = {
        {"vendor", &id.vendor}, {"product", &id.product}, {"vidPid", &id.vidPid},
        {"serial", &id.serial}, {"byIdPath", &id.byIdPath}, {"driver", &id.driver}};
    for (const auto& [key, value] : fields)
        if (!value->empty())
            o[QLatin1String(key)] = Text(*value);
    return o;
}

QString EntryLines(const serial::PortEntry& e, const QString& state, int width, const QString& lead)
{
    const QString indent(lead.size() + width + 2 + 13 + 2, QLatin1Char(' '));
    const QString identity = Text(serial::IdentitySummary(e.identity));
    QStringList notes;
    if (e.console)
        notes << QStringLiteral("the kernel's console: used only when named with --port");
    if (!e.listed())
        notes << EntryReason(e);
    if (!identity.isEmpty())
        notes << identity;
    if (!e.identity.byIdPath.empty())
        notes << Text(e.identity.byIdPath);
    QString text = lead + QStringLiteral("%1  %2").arg(PortName(PortChoice{e.port, e.path}), -width).arg(state, -13);
    for (qsizetype i = 0; i < notes.size(); ++i)
        text += (i == 0 ? QStringLiteral("  ") : QStringLiteral("\n") + indent) + notes.at(i);
    return text.trimmed() + QLatin1Char('\n');
}


namespace {

class PortsCommand final : public Command {
public:
    using Command::Command;

private:
    int Execute() override
    {
        const bool json = parser_.isSet(QStringLiteral("json"));
        if (parser_.isSet(QStringLiteral("watch")))
            return WatchPorts(
                    json, out_, [this](int code, const QString& text) { return Error(code, text); },
                    [this](const QString& text) { Progress(text); });
        const std::vector<serial::PortEntry> ports = serial::ListPorts();
        QJsonArray list;
        qsizetype width = 0;
        for (const serial::PortEntry& e : ports)
            width = std::max(width, PortName(PortChoice{e.port, e.path}).size());
        for (const serial::PortEntry& e : ports) {
            if (json)
                list.append(EntryJson(e));
            else
                out_ << EntryLines(e, e.console ? QStringLiteral("console") : EntryState(e.state), static_cast<int>(width));
        }
        if (json)
            out_ << QJsonDocument(list).toJson(QJsonDocument::Indented);
        else if (ports.empty())
            Progress(PathsNamePorts() ? QStringLiteral("No serial ports found. Add pseudo-terminals and other paths with VTRLCFG_PORTS.")
                                      : QStringLiteral("No serial ports found."));
        return kExitDone;
    }

};

}  // namespace

int RunPorts(const QCommandLineParser& parser, QTextStream& out, QTextStream& err, const Timeouts& t)
{
    return PortsCommand(parser, out, err, t).Run();
}

}  // namespace vtrl::ctl
