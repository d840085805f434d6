#include "KXSimUdpEndpoint.h"

#include "KXSimDevice.h"
#include "KXSimLog.h"
#include "KXSimTcpEndpoint.h"
#include "discovery/KXDiscoveryDatagram.h"

#include <QNetworkInterface>
#include <QSocketNotifier>

#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <sys/socket.h>
#include <unistd.h>

namespace {

constexpr int kRetryMs = 5;
constexpr int kMaxGroupId = 255;

const QString kSerial = QStringLiteral("Serial Number");
const QString kMac = QStringLiteral("MAC Address");
const QString kAnswerPort = QStringLiteral("Answer Port");

QHostAddress hostAddress(const sockaddr_in& address)
{
    return QHostAddress(ntohl(address.sin_addr.s_addr));
}

// A unicast IPv4 address a device could take.
bool isUnicastIpv4(const QString& text)
{
    const QHostAddress address(text);
    return address.protocol() == QAbstractSocket::IPv4Protocol &&
           address != QHostAddress::AnyIPv4 && address != QHostAddress::Broadcast &&
           !address.isMulticast();
}

bool isIpv4(const QString& text)
{
    return QHostAddress(text).protocol() == QAbstractSocket::IPv4Protocol;
}

// "0" or "1" to a flag; false for anything else.
bool readFlag(const QString& text, bool& flag)
{
    if (text != QLatin1String("0") && text != QLatin1String("1"))
        return false;
    flag = text == QLatin1String("1");
    return true;
}

} // namespace

KXSimUdpEndpoint::KXSimUdpEndpoint(KXSimDevice& device, quint16 port, int devices,
                                   KXSimTcpEndpoint& data, KXSimTcpEndpoint& log, QObject* parent)
    : KXSimEndpoint(parent), m_device(device), m_port(port),
      m_devices(qBound(1, devices, MaxDevices)), m_data(data), m_log(log)
{
    m_retryTimer.setSingleShot(true);
    connect(&m_retryTimer, &QTimer::timeout, this, &KXSimUdpEndpoint::flush);
}

KXSimUdpEndpoint::~KXSimUdpEndpoint()
{
    delete m_readNotifier;
    delete m_writeNotifier;
    if (m_fd >= 0)
        ::close(m_fd);
}

bool KXSimUdpEndpoint::start(QString& error)
{
    m_fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    const int one = 1;
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(m_port);
    address.sin_addr.s_addr = htonl(INADDR_ANY);
    // Several simulators may share the port: each hears every broadcast.
    // SO_BROADCAST stays off, so no answer can go to a broadcast address.
    if (m_fd < 0 || ::setsockopt(m_fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one) != 0 ||
        ::bind(m_fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        error = QStringLiteral("cannot listen on udp port %1: %2")
                    .arg(m_port)
                    .arg(QString::fromLocal8Bit(std::strerror(errno)));
        return false;
    }
    socklen_t length = sizeof address;
    ::getsockname(m_fd, reinterpret_cast<sockaddr*>(&address), &length);
    m_port = ntohs(address.sin_port);

    m_faces = KXSimUdp::faces(m_device, m_devices);
    for (int i = 0; i < m_faces.size(); ++i)
        m_faceByMac.insert(m_faces.at(i).mac.toUpper(), i);
    m_readNotifier = new QSocketNotifier(m_fd, QSocketNotifier::Read);
    connect(m_readNotifier, &QSocketNotifier::activated, this, &KXSimUdpEndpoint::readDatagrams);
    m_writeNotifier = new QSocketNotifier(m_fd, QSocketNotifier::Write);
    m_writeNotifier->setEnabled(false);
    connect(m_writeNotifier, &QSocketNotifier::activated, this, &KXSimUdpEndpoint::flush);
    return true;
}

QString KXSimUdpEndpoint::description() const
{
    const QString text = QStringLiteral("udp 0.0.0.0:%1").arg(m_port);
    return m_devices > 1 ? text + QStringLiteral(" as %1 devices").arg(m_devices) : text;
}

void KXSimUdpEndpoint::readDatagrams()
{
    // Bounded per pass; the notifier fires again while datagrams wait.
    char buffer[KXDiscovery::FrameCapacity];
    for (int i = 0; i < ReadsPerPass; ++i) {
        sockaddr_in from{};
        socklen_t length = sizeof from;
        const ssize_t size = ::recvfrom(m_fd, buffer, sizeof buffer, MSG_TRUNC,
                                        reinterpret_cast<sockaddr*>(&from), &length);
        if (size < 0) {
            if (errno == EINTR)
                continue;
            return;
        }
        // Longer than any datagram of the kit (MSG_TRUNC gives the real size).
        if (size > ssize_t(sizeof buffer) || from.sin_family != AF_INET)
            continue;
        handleDatagram(QByteArray(buffer, int(size)), from);
    }
}

void KXSimUdpEndpoint::handleDatagram(const QByteArray& datagram, const sockaddr_in& from)
{
    const QString asker = hostAddress(from).toString();
    if (m_device.faults().udpSilent()) {
        m_device.log(QStringLiteral("udp from %1 ignored: silent").arg(asker));
        return;
    }
    quint16 code = 0;
    QByteArray payload;
    if (!KXDiscovery::splitDatagram(datagram, &code, &payload) || (code & 0xFF) != 0x10)
        return;
    const quint8 kind = quint8(code >> 8);
    const KXDeviceInfoMap fields = KXDiscovery::parseKeyValueText(QString::fromLocal8Bit(payload));
    bool ok = false;
    const uint answerPort = fields.value(kAnswerPort).toUInt(&ok, 10);
    if (!ok || answerPort == 0 || answerPort > 65535)
        return;
    sockaddr_in to = from;
    to.sin_port = htons(quint16(answerPort));

    if (kind == KXDiscovery::KindDiscover) {
        m_device.log(QStringLiteral("udp from %1: discovery request").arg(asker));
        answerDiscovery(to);
        return;
    }
    // The commands: kind, result kind (0: no answer), name, result key.
    using Apply = int (KXSimUdpEndpoint::*)(const KXDeviceInfoMap&);
    static const struct
    {
        quint8 kind;
        quint8 resultKind;
        const char* name;
        const char* resultKey;
        Apply apply;
    } commands[] = {
        {KXDiscovery::KindSetNetwork, KXDiscovery::KindSetNetworkResult, "network",
         "Setting Result", &KXSimUdpEndpoint::changeNetwork},
        {KXDiscovery::KindSetGroup, KXDiscovery::KindSetGroupResult, "group", "Ret",
         &KXSimUdpEndpoint::changeGroup},
        {KXDiscovery::KindSetAlias, KXDiscovery::KindSetAliasResult, "alias", "Setting Result",
         &KXSimUdpEndpoint::changeAlias},
        {KXDiscovery::KindBlink, 0, "blink", nullptr, nullptr}, // shown, not answered
    };
    for (const auto& command : commands) {
        if (command.kind != kind)
            continue;
        const QString serial = fields.value(kSerial);
        const QString mac = fields.value(kMac);
        if (findFace(fields) < 0) {
            qCDebug(lcSim).noquote() << "udp:" << command.name << "from" << asker << "for" << serial
                                     << mac << "names another device";
            return;
        }
        QString event = QStringLiteral("%1 %2 %3").arg(QLatin1String(command.name), serial, mac);
        if (command.apply) {
            const int result = (this->*command.apply)(fields);
            event += QStringLiteral(": result %1").arg(result);
            queue(to, KXSimUdp::resultAnswer(command.resultKind, QLatin1String(command.resultKey),
                                             result, serial, mac));
        }
        m_device.log(QStringLiteral("udp from %1: %2").arg(asker, event));
        emit eventOccurred(event);
        return;
    }
}

void KXSimUdpEndpoint::answerDiscovery(sockaddr_in to)
{
    if (m_queue.size() + size_t(m_faces.size()) > size_t(MaxQueued)) {
        qCDebug(lcSim).noquote() << "udp: discovery request ignored, answers still queued:"
                                 << m_queue.size();
        return;
    }
    const KXSimUdpState now = state(hostAddress(to));
    const int malformation = m_device.faults().udpMalformation();
    for (const KXSimUdpFace& face : qAsConst(m_faces))
        queue(to, KXSimUdp::discoveryAnswer(m_device, now, face, malformation));
}

int KXSimUdpEndpoint::changeNetwork(const KXDeviceInfoMap& fields)
{
    enum Result
    {
        Done = 0,
        BadValue = 1,
        CannotBind = 2,
    };
    const QString dhcp = fields.value(QStringLiteral("Device Use DHCP"));
    const QString ip = fields.value(QStringLiteral("Device IP Address"));
    const QString mask = fields.value(QStringLiteral("Device SubNetmask"));
    const QString gateway = fields.value(QStringLiteral("Device Gateway Address"));
    bool useDhcp = false;
    if (!readFlag(dhcp, useDhcp))
        return BadValue;
    // With DHCP on, the address stays: there is no server to ask.
    if (!useDhcp) {
        if (!isUnicastIpv4(ip) || !isIpv4(mask) || (!gateway.isEmpty() && !isIpv4(gateway)))
            return BadValue;
        const QHostAddress address(ip);
        if (address != m_data.address()) {
            QString error;
            const bool bound =
                m_data.prepareMove(address, error) && m_log.prepareMove(address, error);
            m_data.finishMove(bound);
            m_log.finishMove(bound);
            if (!bound) {
                qCDebug(lcSim).noquote() << "udp:" << error;
                return CannotBind;
            }
        }
        m_device.setSetting(QStringLiteral("NETLPA"), ip);
        m_device.setSetting(QStringLiteral("NETSMK"), mask);
        m_device.setSetting(QStringLiteral("NETGIP"), gateway);
    }
    m_device.setSetting(QStringLiteral("NETDEN"), dhcp);
    return Done;
}

int KXSimUdpEndpoint::changeGroup(const KXDeviceInfoMap& fields)
{
    // The group fields kxsim knows: "Gr En" (0 or 1) and "Gr Id" (0 to
    // 255); either may be left out. Anything else is ignored.
    bool enabled = m_groupEnabled;
    int id = m_groupId;
    const auto enable = fields.constFind(QStringLiteral("Gr En"));
    if (enable != fields.cend() && !readFlag(enable.value(), enabled))
        return 1;
    const auto group = fields.constFind(QStringLiteral("Gr Id"));
    if (group != fields.cend()) {
        bool ok = false;
        id = group.value().toInt(&ok, 10);
        if (!ok || id < 0 || id > kMaxGroupId)
            return 1;
    }
    m_groupEnabled = enabled;
    m_groupId = id;
    return 0;
}

int KXSimUdpEndpoint::changeAlias(const KXDeviceInfoMap& fields)
{
    const auto alias = fields.constFind(QStringLiteral("P Alias"));
    if (alias == fields.cend() || alias.value().size() > MaxAliasLength)
        return 1;
    return m_device.setSetting(QStringLiteral("NETALS"), alias.value()) ? 0 : 1;
}

int KXSimUdpEndpoint::findFace(const KXDeviceInfoMap& fields) const
{
    const int face = m_faceByMac.value(fields.value(kMac).toUpper(), -1);
    if (face < 0)
        return -1;
    const QString serial = fields.value(kSerial);
    const KXSimUdpFace& known = m_faces.at(face);
    // Behind a base station the kit knows the device by the scanner's serial.
    return serial == known.serial || (!known.gunSerial.isEmpty() && serial == known.gunSerial)
               ? face
               : -1;
}

KXSimUdpState KXSimUdpEndpoint::state(const QHostAddress& asker) const
{
    KXSimUdpState state;
    state.dataPort = m_data.port();
    state.logPort = m_log.port();
    state.connected = m_data.linkCount() > 0;
    state.groupEnabled = m_groupEnabled;
    state.groupId = m_groupId;
    const QHostAddress address = m_data.address();
    state.ipAddress = address.toString();
    if (address != QHostAddress::AnyIPv4 && address != QHostAddress::Any)
        return state;
    // Listening everywhere: the address the asker reaches, else the files'.
    state.ipAddress = m_device.settingValue(QStringLiteral("NETLPA"));
    for (const QNetworkInterface& interface : QNetworkInterface::allInterfaces()) {
        for (const QNetworkAddressEntry& entry : interface.addressEntries()) {
            if (entry.ip().protocol() == QAbstractSocket::IPv4Protocol &&
                asker.isInSubnet(entry.ip(), entry.prefixLength())) {
                state.ipAddress = entry.ip().toString();
                return state;
            }
        }
    }
    return state;
}

void KXSimUdpEndpoint::queue(const sockaddr_in& to, const QByteArray& datagram)
{
    if (datagram.isEmpty())
        return;
    m_queue.push_back({to, datagram});
    if (m_queue.size() == 1)
        flush();
}

void KXSimUdpEndpoint::flush()
{
    while (!m_queue.empty()) {
        const Outgoing& next = m_queue.front();
        const ssize_t sent =
            ::sendto(m_fd, next.datagram.constData(), size_t(next.datagram.size()), 0,
                     reinterpret_cast<const sockaddr*>(&next.to), sizeof next.to);
        if (sent < 0 && errno == EINTR)
            continue;
        if (sent < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            m_writeNotifier->setEnabled(true);
            return;
        }
        if (sent < 0 && errno == ENOBUFS) {
            // The socket may look writable meanwhile: a timer, not the notifier.
            m_writeNotifier->setEnabled(false);
            m_retryTimer.start(kRetryMs);
            return;
        }
        if (sent < 0)
            qCDebug(lcSim).noquote() << "udp: answer to" << hostAddress(next.to).toString()
                                     << "dropped:" << std::strerror(errno);
        m_queue.pop_front();
    }
    m_writeNotifier->setEnabled(false);
}
