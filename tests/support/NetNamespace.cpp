#include "tests/support/NetNamespace.h"

#include <QDir>
#include <QFile>
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
// What `ip netns exec` puts in place of /etc for a namespace: its own
// resolver settings, naming the namespace's own loopback, where no name
// server listens, so that a name lookup fails at once and never reaches the
// machine's name server through a route the test made.
const QString NamespaceEtc = QStringLiteral("/etc/netns/");
const QByteArray OwnResolver = "nameserver 127.0.0.1\n";
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
    QDir(NamespaceEtc + name).removeRecursively();
    try {
        RunIp({"netns", "delete", name});
    } catch (const std::exception& error) {
        std::fprintf(stderr, "NetNamespace: %s\n", error.what());
    }
}

void GiveOwnResolver(const QString& name)
{
    QFile resolver(NamespaceEtc + name + QStringLiteral("/resolv.conf"));
    if (!QDir().mkpath(NamespaceEtc + name) || !resolver.open(QIODevice::WriteOnly) ||
        resolver.write(OwnResolver) != OwnResolver.size())
        throw std::runtime_error("cannot write " + resolver.fileName().toStdString());
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

// Gives `device` in namespace `name` its address, with the broadcast address
// of its network as every usual network set-up gives it, and brings it up.
void ConfigureDevice(const std::string& name, const std::string& device, const std::string& address)
{
    const QString space = QString::fromStdString(name);
    const QString interface = QString::fromStdString(device);
    RunIp({"-n", space, "address", "add", QString::fromStdString(address), "broadcast", "+", "dev", interface});
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
    ::RunIp({"netns", "add", name});
    try {
        GiveOwnResolver(name);
        RunIp({"link", "set", "lo", "up"});
    } catch (...) {
        RemoveNamespace(name);
        throw;
    }
}

void NetNamespace::NameHost(const std::string& host, const std::string& address) const
{
    QFile hosts(NamespaceEtc + QString::fromStdString(name_) + QStringLiteral("/hosts"));
    const QByteArray line = QByteArray::fromStdString(address + " " + host + "\n");
    if (!hosts.open(QIODevice::Append) || hosts.write(line) != line.size())
        throw std::runtime_error("cannot write " + hosts.fileName().toStdString());
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
    RunIp({"link", "add", QString::fromStdString(device), "type", "veth",
           "peer", "name", QString::fromStdString(peerDevice), "netns", QString::fromStdString(peer.name_)});
    ConfigureDevice(name_, device, address);
    ConfigureDevice(peer.name_, peerDevice, peerAddress);
    return device;
}

void NetNamespace::SetDefaultRoute(const std::string& device)
{
    RunIp({"route", "add", "default", "dev", QString::fromStdString(device)});
}

void NetNamespace::AddLocalRange(const std::string& range)
{
    RunIp({"route", "add", "local", QString::fromStdString(range), "dev", "lo"});
}

void NetNamespace::AddRoute(const std::string& destination, const std::string& gateway)
{
    RunIp({"route", "add", QString::fromStdString(destination), "via", QString::fromStdString(gateway)});
}

void NetNamespace::EnableForwarding()
{
    ::RunIp({"netns", "exec", QString::fromStdString(name_), "sysctl", "-qw", "net.ipv4.ip_forward=1"});
}

void NetNamespace::RunIp(const QStringList& arguments) const
{
    ::RunIp(QStringList{"-n", QString::fromStdString(name_)} + arguments);
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

RoutedNetworks MakeRoutedNetworks()
{
    // The n-th network is 198.18.n.0/24; the link to the router is the third.
    const std::array<int, RoutedNetworks::LanCount> lanNumbers = {1, 2, 4};
    constexpr int RouterLink = 3;
    const auto address = [](int network, int host) {
        return "198.18." + std::to_string(network) + "." + std::to_string(host);
    };
    const std::string prefix = "/24";
    constexpr int Near = 1;  // the host's end of a link, or the router's
    constexpr int Far = 2;
    RoutedNetworks nets;
    nets.host = std::make_unique<NetNamespace>();
    nets.router = std::make_unique<NetNamespace>();
    for (std::size_t k = 0; k < RoutedNetworks::LanCount; ++k) {
        nets.lans[k] = std::make_unique<NetNamespace>();
        nets.peers[k] = address(lanNumbers[k], Far);
        nets.networks[k] = address(lanNumbers[k], 0) + prefix;
    }
    for (std::size_t k = 0; k < nets.devices.size(); ++k)
        nets.devices[k] = nets.host->Connect(*nets.lans[k], address(lanNumbers[k], Near) + prefix, nets.peers[k] + prefix);
    nets.host->SetDefaultRoute(nets.devices[0]);
    nets.host->Connect(*nets.router, address(RouterLink, Near) + prefix, address(RouterLink, Far) + prefix);
    const std::size_t behind = RoutedNetworks::LanCount - 1;
    const std::string routerOnLan = address(lanNumbers[behind], Near);
    nets.router->Connect(*nets.lans[behind], routerOnLan + prefix, nets.peers[behind] + prefix);
    nets.router->EnableForwarding();
    nets.host->AddRoute(nets.networks[behind], address(RouterLink, Far));
    nets.lans[behind]->AddRoute("default", routerOnLan);
    return nets;
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
