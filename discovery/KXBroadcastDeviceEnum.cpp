#include "discovery/KXBroadcastDeviceEnum.h"

#include "discovery/KXDiscoveryDatagram.h"
#include "discovery/KXDiscoveryLog.h"
#include "discovery/KXDiscoveryParse.h"

#include <QMutexLocker>
#include <QTime>
#include <QTimer>
#include <QUdpSocket>

#include <memory>

namespace {

std::atomic<int> s_answerPort{KXDiscovery::FirstAnswerPort};

// A burst of answers is drained in one go, but a flood must not hold the
// thread for ever: what is left raises readyRead again.
constexpr int MaxDatagramsPerRead = 256;

int secondsSinceMidnight()
{
    const QTime now = QTime::currentTime();
    return now.hour() * 3600 + now.minute() * 60 + now.second();
}

} // namespace

KXBroadcastDeviceEnum::KXBroadcastDeviceEnum(QObject* parent)
    : QObject(parent), m_recvBuffer(InitialBufferCapacity, '\0'), m_now(secondsSinceMidnight)
{
    qRegisterMetaType<KXDeviceInfoMap>("KXDeviceInfoMap");
    qRegisterMetaType<STRU_UDPDATA*>("STRU_UDPDATA*");
    m_echoTimer = new QTimer(this);
    connect(m_echoTimer, &QTimer::timeout, this, &KXBroadcastDeviceEnum::OnEchoTimeout);
    // Emitted on the parse thread, so these arrive queued on this one.
    connect(&m_parseThread, &BroadcastPparseRecvDataThread::signal_parseRecvData, this,
            &KXBroadcastDeviceEnum::slot_parseRecvData);
    connect(&m_parseThread, &BroadcastPparseRecvDataThread::signal_deviceAlive, this,
            &KXBroadcastDeviceEnum::slot_deviceAlive);
    m_parseThread.start();
}

KXBroadcastDeviceEnum::~KXBroadcastDeviceEnum()
{
    m_echoTimer->stop();
    closeReceiveSocket();
    clearTables();
    delete m_echoTimer;
    m_echoTimer = nullptr;
    m_recvBuffer = QByteArray();
    m_parseThread.stop();
    m_parseThread.clear();
    m_parseThread.quit();
    m_parseThread.wait();
    // Records already handed on and still queued for this object are freed
    // with the parse thread object, whose hand-off record keeps them.
}

int KXBroadcastDeviceEnum::answerPort()
{
    return s_answerPort.load();
}

void KXBroadcastDeviceEnum::setTimeSource(TimeSource source)
{
    m_now = source ? std::move(source) : TimeSource(secondsSinceMidnight);
}

void KXBroadcastDeviceEnum::closeReceiveSocket()
{
    if (!m_receiveSocket)
        return;
    m_receiveSocket->close();
    m_receiveSocket->deleteLater();
    m_receiveSocket = nullptr;
}

void KXBroadcastDeviceEnum::clearTables()
{
    QMutexLocker lock(&m_tableMutex);
    m_devices.clear();
    m_liveness.clear();
    m_livenessIndex.clear();
}

bool KXBroadcastDeviceEnum::startScan(int intervalMs)
{
    m_echoTimer->stop();
    closeReceiveSocket();
    clearTables();

    auto* socket = new QUdpSocket(this);
    while (!socket->bind(QHostAddress::Any, quint16(s_answerPort.load()),
                         QAbstractSocket::DontShareAddress)) {
        // Another program (or another kit) has the port: climb, and stay
        // up there for later starts.
        if (s_answerPort.fetch_add(2) + 2 > KXDiscovery::LastAnswerPort) {
            delete socket;
            qCDebug(lcDiscovery) << "KXBroadcastDeviceEnum::startScan... no free answer port";
            return false;
        }
    }
    m_receiveSocket = socket;
    // A large buffer: all devices answer one broadcast at once, and none of
    // their answers may be lost.
    socket->setSocketOption(QAbstractSocket::ReceiveBufferSizeSocketOption, ReceiveBufferBytes);
    qCDebug(lcDiscovery)
        << "KXBroadcastDeviceEnum::startScan... answer port" << answerPort() << "receive buffer"
        << socket->socketOption(QAbstractSocket::ReceiveBufferSizeSocketOption).toInt();

    m_sender.buildDiscoveryRequest();
    connect(socket, &QUdpSocket::readyRead, this, &KXBroadcastDeviceEnum::OnRecvData);
    m_sender.initSockets();
    m_sender.sendDiscoveryRequest();
    m_echoTimer->start(intervalMs);
    return true;
}

void KXBroadcastDeviceEnum::stopScan()
{
    m_echoTimer->stop();
    closeReceiveSocket();
    clearTables();
}

void KXBroadcastDeviceEnum::refreshScan()
{
    m_parseThread.clear();
    clearTables();
    m_sender.initSockets();
    m_sender.sendDiscoveryRequest();
}

void KXBroadcastDeviceEnum::setCheckAliveTime(int seconds)
{
    if (seconds > 5)
        m_aliveTime.store(seconds);
}

void KXBroadcastDeviceEnum::setRefreshTime(int seconds)
{
    if (seconds < 1 || !m_echoTimer)
        return;
    m_echoTimer->stop();
    m_echoTimer->start(seconds * 1000);
}

bool KXBroadcastDeviceEnum::pauseEnum(bool pause)
{
    {
        QMutexLocker lock(&m_tableMutex);
        m_liveness.clear();
        m_livenessIndex.clear();
    }
    m_enumPaused.store(pause);
    m_recvPaused.store(pause);
    return pause;
}

bool KXBroadcastDeviceEnum::pauseCheckOffLine(bool pause)
{
    m_checkOffLinePaused.store(pause);
    return pause;
}

bool KXBroadcastDeviceEnum::sendNetworkSettings(const char* text, int len)
{
    return m_sender.sendCommand(KXDiscovery::KindSetNetwork, text, len);
}

bool KXBroadcastDeviceEnum::sendNetworkGroup(const char* text, int len)
{
    return m_sender.sendCommand(KXDiscovery::KindSetGroup, text, len);
}

bool KXBroadcastDeviceEnum::sendBlink(const char* text, int len)
{
    return m_sender.sendCommand(KXDiscovery::KindBlink, text, len);
}

bool KXBroadcastDeviceEnum::sendAlias(const char* text, int len)
{
    return m_sender.sendCommand(KXDiscovery::KindSetAlias, text, len);
}

void KXBroadcastDeviceEnum::OnEchoTimeout()
{
    if (m_echoTimer && m_echoTimer->isActive())
        m_sender.sendDiscoveryRequest();
}

void KXBroadcastDeviceEnum::OnRecvData()
{
    // Everything that waits is read now, not one datagram per readyRead, so
    // a burst of answers cannot overflow the socket's buffer.
    for (int i = 0; i < MaxDatagramsPerRead; ++i) {
        if (!m_receiveSocket || !m_receiveSocket->hasPendingDatagrams())
            return;
        const qint64 size = m_receiveSocket->pendingDatagramSize();
        // Grown to the largest datagram seen up to 4096 bytes; anything
        // larger is no answer and is cut to the capacity.
        if (size <= MaxBufferCapacity && size > m_recvBuffer.size())
            m_recvBuffer = QByteArray(int(size), '\0');
        const qint64 read = m_receiveSocket->readDatagram(
            m_recvBuffer.data(), qMin<qint64>(qMax<qint64>(size, 0), m_recvBuffer.size()));
        if (read < 0)
            return;
        m_recvLength = int(read);
        if (m_recvPaused.load() || m_parseThread.isStopping())
            continue;
        m_parseThread.enqueue(new STRU_UDPDATA(m_recvBuffer.constData(), m_recvLength));
    }
}

void KXBroadcastDeviceEnum::slot_parseRecvData(STRU_UDPDATA* pInfo)
{
    if (!pInfo)
        return;
    m_parseThread.take(pInfo);
    const std::unique_ptr<STRU_UDPDATA> record(pInfo);
    KXDiscoveryAnswer answer =
        KXDiscovery::parseDiscoveryAnswer(QByteArray::fromRawData(record->data, record->length));
    if (!answer.logLine.isEmpty())
        qCDebug(lcDiscovery).noquote() << answer.logLine;
    handleAnswer(answer);
}

void KXBroadcastDeviceEnum::handleAnswer(KXDiscoveryAnswer& answer)
{
    switch (answer.action) {
    case KXDiscoveryAnswer::Ignore:
        return;
    case KXDiscoveryAnswer::NetworkChanged:
        emit deviceNetworkChanged(answer.sn, answer.mac, answer.result);
        return;
    case KXDiscoveryAnswer::AliasChanged:
        emit deviceAliasChanged(answer.sn, answer.mac, answer.result);
        return;
    case KXDiscoveryAnswer::NetworkGroup:
        emit deviceNetworkGroup(answer.sn, answer.mac, answer.result);
        return;
    case KXDiscoveryAnswer::Store:
        // Stored (and so kept alive) even when the group gate holds it back.
        emitOffLine(storeDevice(answer.deviceId, answer.info));
        break;
    case KXDiscoveryAnswer::Supplement: {
        QMutexLocker lock(&m_tableMutex);
        const auto stored = m_devices.constFind(answer.deviceId);
        if (stored != m_devices.constEnd())
            KXDiscovery::mergeSupplement(stored.value(), answer.info);
        break;
    }
    }
    if (!KXDiscovery::passesGroupGate(answer.info))
        return;
    emitOffLine(storeDevice(answer.deviceId, answer.info));
    emit deviceUpdated(answer.deviceId, answer.info);
}

void KXBroadcastDeviceEnum::slot_deviceAlive()
{
    QStringList offline;
    {
        QMutexLocker lock(&m_tableMutex);
        checkOffLine(m_now(), offline);
    }
    emitOffLine(offline);
}

QStringList KXBroadcastDeviceEnum::storeDevice(const QString& id, const KXDeviceInfoMap& map)
{
    QStringList offline;
    QMutexLocker lock(&m_tableMutex);
    auto stored = m_devices.find(id);
    if (stored == m_devices.end())
        m_devices.insert(id, map);
    else if (stored.value() != map)
        stored.value() = map;
    touchDevice(id, offline);
    return offline;
}

void KXBroadcastDeviceEnum::touchDevice(const QString& id, QStringList& offline)
{
    const int now = m_now();
    if (!m_livenessIndex.isEmpty() && m_livenessIndex.firstKey().first > now) {
        // The clock passed midnight: every time in the table is from
        // yesterday. Start afresh with the next answer.
        m_liveness.clear();
        m_livenessIndex.clear();
        return;
    }
    // While enumeration is paused the index is left alone: a datagram queued
    // before the pause may still be parsed.
    const bool indexed = !m_enumPaused.load();
    auto record = m_liveness.find(id);
    if (record == m_liveness.end()) {
        m_liveness.insert(id, Liveness{id, now});
        if (indexed)
            m_livenessIndex.insert(qMakePair(now, id), id);
    } else {
        const int oldTime = record->lastSeen;
        record->lastSeen = now;
        if (indexed) {
            if (m_livenessIndex.remove(qMakePair(oldTime, id)) == 0)
                qCDebug(lcDiscovery).noquote()
                    << QStringLiteral("erase: time %1 key: %2 error").arg(oldTime).arg(id);
            m_livenessIndex.insert(qMakePair(now, id), id);
        }
    }
    checkOffLine(now, offline);
}

void KXBroadcastDeviceEnum::checkOffLine(int now, QStringList& offline)
{
    if (m_enumPaused.load() || m_checkOffLinePaused.load())
        return;
    const int aliveTime = m_aliveTime.load();
    while (!m_livenessIndex.isEmpty()) {
        const auto oldest = m_livenessIndex.begin();
        if (now - oldest.key().first <= aliveTime)
            break;
        const QString id = oldest.value();
        m_liveness.remove(id);
        m_livenessIndex.erase(oldest);
        offline.append(id);
    }
}

void KXBroadcastDeviceEnum::emitOffLine(const QStringList& ids)
{
    for (const QString& id : ids)
        emit deviceOffLine(id);
}
