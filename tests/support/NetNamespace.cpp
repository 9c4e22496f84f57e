#include "tests/support/NetNamespace.h"

#include <QDir>
#include <QProcess>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <mutex>
#include <sched.h>
#include <signal.h>
#include <stdexcept>
#include <unistd.h>

namespace {

const QString IpProgram = QStringLiteral("ip");
const QString NamespacePrefix = QStringLiteral("updater-test-");
// Where `ip netns` keeps the namespaces it names.
const QString NamespaceFolder = QStringLiteral("/var/run/netns/");
const char* const ThreadNamespace = "/proc/thread-self/ns/net";
constexpr int WaitWithoutLimit = -1;

// Runs `ip` and returns what it printed; raises std::runtime_error when it
// cannot start or reports a failure.
QString RunIp(const QStringList& arguments)
{
    QProcess ip;
    ip.setProcessChannelMode(QProcess::MergedChannels);
    ip.start(IpProgram, arguments);
    const bool finished = ip.waitForFinished(WaitWithoutLimit);
    const QString output = QString::fromLocal8Bit(ip.readAll());
    if (!finished || ip.exitStatus() != QProcess::NormalExit || ip.exitCode() != 0) {
        throw std::runtime_error("ip " + arguments.join(' ').toStdString() + " failed: " +
                                 (finished ? output : ip.errorString()).toStdString());
    }
    return output;
}

// Removal must not throw: it runs in destructors and on the way out of a
// failed set-up. A namespace that cannot be removed now is removed by the next
// test process (RemoveLeftovers).
void RemoveNamespace(const QString& name) noexcept
{
    try {
        RunIp({"netns", "delete", name});
    } catch (const std::exception& error) {
        std::fprintf(stderr, "NetNamespace: %s\n", error.what());
    }
}

// Removes the namespaces of test processes that ended without removing theirs.
void RemoveLeftovers()
{
    const QStringList names = QDir(NamespaceFolder).entryList({NamespacePrefix + "*"},
                                                              QDir::AllEntries | QDir::System | QDir::NoDotAndDotDot);
    for (const QString& name : names) {
        bool isNumber = false;
        const pid_t owner = name.mid(NamespacePrefix.size()).section('-', 0, 0).toInt(&isNumber);
        if (isNumber && ::kill(owner, 0) != 0 && errno == ESRCH)
            RemoveNamespace(name);
    }
}

std::string Probe()
{
    if (::geteuid() != 0)
        return "network namespaces need root; this test runs as uid " + std::to_string(::geteuid());
    try {
        RunIp({"netns", "list"});
    } catch (const std::exception& error) {
        return std::string("network namespaces are not available: ") + error.what();
    }
    return {};
}

int OpenNamespace(const std::string& path)
{
    const int descriptor = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (descriptor < 0)
        throw std::runtime_error("cannot open " + path + ": " + std::strerror(errno));
    return descriptor;
}

// Gives `device` in namespace `name` its address and brings it up.
void ConfigureDevice(const std::string& name, const std::string& device, const std::string& address)
{
    const QString space = QString::fromStdString(name);
    const QString interface = QString::fromStdString(device);
    RunIp({"-n", space, "address", "add", QString::fromStdString(address), "dev", interface});
    RunIp({"-n", space, "link", "set", interface, "up"});
}

// Moves the calling thread into the namespace `name`.
void EnterNamespace(const std::string& name)
{
    const int next = OpenNamespace(NamespaceFolder.toStdString() + name);
    const int entered = ::setns(next, CLONE_NEWNET);
    const int error = errno;
    ::close(next);
    if (entered != 0)
        throw std::runtime_error("cannot enter network namespace " + name + ": " + std::strerror(error));
}

} // namespace

std::string NetNamespace::Unavailable()
{
    static const std::string reason = Probe();
    return reason;
}

NetNamespace::NetNamespace()
{
    static std::once_flag leftoversRemoved;
    std::call_once(leftoversRemoved, RemoveLeftovers);
    static std::atomic<int> made{0};
    name_ = NamespacePrefix.toStdString() + std::to_string(::getpid()) + "-" + std::to_string(made++);
    const QString name = QString::fromStdString(name_);
    RunIp({"netns", "add", name});
    try {
        RunIp({"-n", name, "link", "set", "lo", "up"});
    } catch (...) {
        RemoveNamespace(name);
        throw;
    }
}

NetNamespace::~NetNamespace()
{
    RemoveNamespace(QString::fromStdString(name_));
}

std::string NetNamespace::NextDevice()
{
    return "veth" + std::to_string(devices_++);
}

std::string NetNamespace::Connect(NetNamespace& peer, const std::string& address, const std::string& peerAddress)
{
    const std::string device = NextDevice();
    const std::string peerDevice = peer.NextDevice();
    RunIp({"-n", QString::fromStdString(name_), "link", "add", QString::fromStdString(device), "type", "veth",
           "peer", "name", QString::fromStdString(peerDevice), "netns", QString::fromStdString(peer.name_)});
    ConfigureDevice(name_, device, address);
    ConfigureDevice(peer.name_, peerDevice, peerAddress);
    return device;
}

void NetNamespace::SetDefaultRoute(const std::string& device)
{
    RunIp({"-n", QString::fromStdString(name_), "route", "add", "default", "dev", QString::fromStdString(device)});
}

void NetNamespace::AddLocalRange(const std::string& range)
{
    RunIp({"-n", QString::fromStdString(name_), "route", "add", "local", QString::fromStdString(range), "dev", "lo"});
}

std::pair<std::unique_ptr<NetNamespace>, std::unique_ptr<NetNamespace>>
HostAndLan(const std::string& hostAddress, const std::string& lanAddress, const std::string& localRange)
{
    auto host = std::make_unique<NetNamespace>();
    auto lan = std::make_unique<NetNamespace>();
    host->SetDefaultRoute(host->Connect(*lan, hostAddress, lanAddress));
    lan->AddLocalRange(localRange);
    return {std::move(host), std::move(lan)};
}

void NetNamespace::Start(QProcess& process, const QString& program, const QStringList& arguments) const
{
    process.start(IpProgram, QStringList{"netns", "exec", QString::fromStdString(name_), program} + arguments);
}

NetNamespaceScope::NetNamespaceScope(const NetNamespace& target) : previous_(OpenNamespace(ThreadNamespace))
{
    try {
        EnterNamespace(target.Name());
    } catch (...) {
        ::close(previous_);
        throw;
    }
}

NetNamespaceScope::~NetNamespaceScope()
{
    if (::setns(previous_, CLONE_NEWNET) != 0) {
        std::perror("NetNamespaceScope: cannot leave the network namespace");
        std::abort();
    }
    ::close(previous_);
}
