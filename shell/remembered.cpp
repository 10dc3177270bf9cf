#include "remembered.h"

#include <QSettings>

namespace vtrl::remembered {
namespace {

QSettings Store()
{
    return QSettings(QStringLiteral("VtrlCfg"), QStringLiteral("vtrlcfg"));
}

}  // namespace

std::optional<LastDevice> Load()
{
    QSettings s = Store();
    LastDevice d;
    d.function = s.value(QStringLiteral("last/function")).toInt();
    d.port = s.value(QStringLiteral("last/port")).toInt();
    d.path = s.value(QStringLiteral("last/path")).toString();
    // Whatever a hand-edited file holds, only a choice the wizard offers counts.
    if ((d.function != 1 && d.function != 2) || d.port < 1 || d.port > 256)
        return std::nullopt;
    return d;
}

void Save(const LastDevice& d)
{
    QSettings s = Store();
    s.setValue(QStringLiteral("last/function"), d.function);
    s.setValue(QStringLiteral("last/port"), d.port);
    s.setValue(QStringLiteral("last/path"), d.path);
}

void Forget()
{
    Store().remove(QStringLiteral("last"));
}

}  // namespace vtrl::remembered
