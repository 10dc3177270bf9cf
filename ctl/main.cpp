// vtrlctl: reads, saves and applies device settings from the command line.

#include "ctl/cli.h"

#include <QCoreApplication>

#include <cstdio>

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("vtrlctl"));
    QTextStream out(stdout);
    QTextStream err(stderr);
    vtrl::ctl::CatchStopSignals();
    return vtrl::ctl::RunCli(QCoreApplication::arguments(), out, err, vtrl::ctl::TimeoutsFromEnvironment());
}
