#include "bench/Command.h"

#include <QProcess>
#include <signal.h>
#include <unistd.h>

#include <stdexcept>
#include <string>

CommandResult RunToEnd(const QString& program, const QStringList& arguments, int limitMs, const std::string& what)
{
    QProcess run;
    run.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    run.setChildProcessModifier([] { ::setpgid(0, 0); });
    run.start(program, arguments);
    if (!run.waitForFinished(limitMs) || run.exitStatus() != QProcess::NormalExit) {
        if (run.state() != QProcess::NotRunning) {
            ::kill(-static_cast<pid_t>(run.processId()), SIGKILL);
            run.waitForFinished();
        }
        throw std::runtime_error(what + " did not end normally: " + run.errorString().toStdString());
    }
    return {run.exitCode(), run.readAllStandardOutput()};
}
