#include "KXDeviceConnector.h"

#include "KXConnectorLog.h"

#include "datastream/KXDataStreamInternal.h"
#include "offline/KXOffLineAdaptor.h"
#include "transport/KXNetworkAdaptor.h"
#include "transport/KXSerialPortAdaptor.h"

#include <KXDataStream.h>

#include <QAbstractEventDispatcher>
#include <QCoreApplication>
#include <QTimer>
#include <QUuid>
#include <QtEndian>

#include <cstring>

const QString KXDeviceConnector::IdleProbeId = QStringLiteral("1234567890123456");

namespace {

constexpr int kReadSlice = 30;
constexpr int kIdleStepMs = 2;
constexpr int kIdleProbeAfterMs = 10000;
constexpr int kReopenEveryMs = 2000;
constexpr int kReopenAttempts = 5;

// Ends a waiting caller's loop through its own thread's event queue: an
// answer may come before the caller has entered exec(), which would reset a
// direct exit().
void exitLoop(const QPointer<QEventLoop>& loop, int code)
{
    if (loop)
        QMetaObject::invokeMethod(
            loop.data(),
            [loop, code] {
                if (loop)
                    loop->exit(code);
            },
            Qt::QueuedConnection);
}

QString threadId()
{
    return QString::number(quintptr(QThread::currentThreadId()));
}

} // namespace

KXDeviceConnector::KXDeviceConnector(QObject* parent) : QThread(parent)
{
    // Emitted on the connector's thread, handled on the creating thread.
    connect(this, &KXDeviceConnector::replyMessageReceived, this,
            &KXDeviceConnector::onReplyReceived);
    // Queued to this thread like the host's own connections, and made before
    // them: an upstream chunk counts as taken once its event has come up.
    const auto taken = [this](const QByteArray& data) { hostTook(data.size()); };
    connect(this, &KXDeviceConnector::barcodeReceived, this, taken);
    connect(this, &KXDeviceConnector::messageReceived, this, taken);
    connect(this, &KXDeviceConnector::logDataReceived, this, taken);
}

KXDeviceConnector::~KXDeviceConnector()
{
    qCDebug(lcConnector) << "***DataStream*** KXDeviceConnector::~KXDeviceConnector()...begin!";
    cancelAllRequests();
    emit OnExit(ErrorWaitEnded);
    stopAndCloseTransport();
    stopLogRecv();
    qCDebug(lcConnector) << "***DataStream*** KXDeviceConnector::~KXDeviceConnector()...end!";
}

QString KXDeviceConnector::newMessageId()
{
    return QUuid::createUuid().toString(QUuid::Id128);
}

void KXDeviceConnector::stopThread()
{
    m_running = false;
    discardAllMessages();
    {
        QMutexLocker locker(&m_queueMutex);
        m_queueChanged.wakeAll();
    }
    // No transport wake-up here: one that nobody takes would cut the next
    // read of whoever uses the link after the stop (log query, image decode)
    // short; the run loop notices the stop within one 30 ms read anyway.
    if (QThread::isRunning()) {
        quit();
        wait();
    }
}

// Every opening and disconnect starts from a stopped loop and a closed link.
void KXDeviceConnector::stopAndCloseTransport()
{
    stopThread();
    if (m_transport)
        m_transport->close();
}

bool KXDeviceConnector::startThread()
{
    m_running = true;
    start(QThread::InheritPriority);
    return true;
}

template <typename Adaptor>
Adaptor* KXDeviceConnector::transportOfKind()
{
    if (!m_transport) {
        auto* adaptor = new Adaptor(this);
        m_transport = adaptor;
        return adaptor;
    }
    return qobject_cast<Adaptor*>(m_transport);
}

bool KXDeviceConnector::connectToDevice(const QString& ip, quint16 port, bool isReconnectEnable)
{
    stopAndCloseTransport();
    auto* adaptor = transportOfKind<KXNetworkAdaptor>();
    const bool opened = adaptor && adaptor->connect(ip, port, isReconnectEnable);
    if (port == LogPort)
        m_logConnection = true;
    qCDebug(lcConnector) << "***DataStream*** KXDeviceConnector::connectToDevice"
                         << (opened ? "success!" : "fail!") << ip << port;
    return opened && startThread();
}

bool KXDeviceConnector::openDevice(const quint8* comRecord, uint* error)
{
    stopAndCloseTransport();
    if (!comRecord)
        return false;
    if (!m_comSettings)
        m_comSettings = std::make_unique<std::array<quint8, 12>>();
    std::memcpy(m_comSettings->data(), comRecord, m_comSettings->size());
    auto* adaptor = transportOfKind<KXSerialPortAdaptor>();
    const bool opened = adaptor && adaptor->openCom(comRecord, error);
    qCDebug(lcConnector) << "***DataStream*** KXDeviceConnector::openDevice"
                         << (opened ? "success!" : "fail!")
                         << qFromLittleEndian<quint16>(comRecord);
    return opened && startThread();
}

bool KXDeviceConnector::openDevice(const quint8* usbRecord, int mode, uint* error)
{
    stopAndCloseTransport();
    if (!usbRecord)
        return false;
    if (!m_usbSettings)
        m_usbSettings = std::make_unique<std::array<quint8, 512>>();
    std::memcpy(m_usbSettings->data(), usbRecord, m_usbSettings->size());
    auto* adaptor = transportOfKind<KXSerialPortAdaptor>();
    const bool opened = adaptor && adaptor->openUsb(usbRecord, mode, error);
    qCDebug(lcConnector) << "***DataStream*** KXDeviceConnector::openDevice"
                         << (opened ? "success!" : "fail!") << static_cast<const void*>(usbRecord);
    return opened && startThread();
}

bool KXDeviceConnector::openOffLineDevice(const QString& configFile, const QString& offlineFile)
{
    stopAndCloseTransport();
    auto* adaptor = transportOfKind<KXOffLineAdaptor>();
    const bool opened = adaptor && adaptor->loadFiles(configFile, offlineFile);
    qCDebug(lcConnector) << "***DataStream*** KXDeviceConnector::openOffLineDevice"
                         << (opened ? "success!" : "fail!") << configFile << offlineFile;
    return opened && startThread();
}

void KXDeviceConnector::enqueue(const Request& request)
{
    {
        QMutexLocker locker(&m_queueMutex);
        m_queue.append(request);
        qCDebug(lcConnector) << "***DataStream*** [PUSH]" << request.msgid << request.data.left(30)
                             << request.data.size() << request.timeout << m_queue.size();
        m_queueChanged.wakeAll();
    }
    // The run loop may sit in its upstream poll; the request must not wait
    // that out.
    if (m_transport)
        m_transport->wakeReaders();
}

bool KXDeviceConnector::takeFirstRequest(Request& request)
{
    QMutexLocker locker(&m_queueMutex);
    if (m_queue.isEmpty())
        return false;
    // The request stays queued while it is sent, so that a discard still
    // reaches a synchronous caller waiting for it.
    request = m_queue.first();
    return true;
}

void KXDeviceConnector::removeQueuedRequest(const QString& msgid)
{
    QMutexLocker locker(&m_queueMutex);
    for (int i = 0; i < m_queue.size(); ++i) {
        if (m_queue.at(i).msgid == msgid) {
            m_queue.removeAt(i);
            return;
        }
    }
}

void KXDeviceConnector::waitForWork(int ms)
{
    QMutexLocker locker(&m_queueMutex);
    if (m_queue.isEmpty() && m_running)
        m_queueChanged.wait(&m_queueMutex, ulong(ms));
}

void KXDeviceConnector::run()
{
    qCDebug(lcConnector).noquote()
        << "***DataStream*** KXDeviceConnector::run() start!!! [Thread]:" << threadId();
    QElapsedTimer reopenTimer;
    QElapsedTimer idleTimer;
    reopenTimer.start();
    idleTimer.start();
    m_keepAliveTimer.start();
    if (!m_upstreamTimer.isValid())
        m_upstreamTimer.start();
    int reopenAttempts = 0;

    while (m_running) {
        bool activity = false;
        bool queueEmpty;
        {
            QMutexLocker locker(&m_queueMutex);
            queueEmpty = m_queue.isEmpty();
        }
        if (queueEmpty && !m_logConnection && hostBacklogFull()) {
            waitForWork(kIdleStepMs);
            continue;
        }
        if (queueEmpty && !m_logConnection) {
            QByteArray bytes;
            m_transport->read_poll(bytes, kReadSlice);
            if (!bytes.isEmpty()) {
                dispatchUpStreamData(bytes, true);
                activity = true;
            } else {
                dispatchUpStreamData(QByteArray(), true);
                if (!m_transport->is_open() && m_reopenEnabled &&
                    reopenTimer.elapsed() > kReopenEveryMs) {
                    m_transport->open();
                    reopenTimer.restart();
                    if (++reopenAttempts >= kReopenAttempts) {
                        m_reopenEnabled = false;
                        reopenAttempts = 0;
                    }
                }
            }
        }

        Request request;
        if (m_running && takeFirstRequest(request)) {
            QByteArray reply;
            int errcode;
            switch (detectDataProtocol(request.data)) {
            case DataProtocol7E01:
                errcode = sendText(request, kReadSlice, reply);
                break;
            case DataProtocol7E07:
                errcode = sendLengthPrefixed(request, kReadSlice, reply);
                break;
            default:
                errcode = sendRaw(request, reply);
                break;
            }
            emit replyMessageReceived(request.msgid, errcode, reply);
            removeQueuedRequest(request.msgid);
            activity = true;
            if (errcode == ErrorNone) {
                idleTimer.restart();
                continue;
            }
        }

        keepAliveStep();

        if (activity) {
            idleTimer.restart();
            continue;
        }
        if (!m_updating && !m_logConnection && !m_rfidDevice &&
            m_transport->portKind() == IDataStreamReadWrite::PortKindNetwork) {
            if (idleTimer.elapsed() <= kIdleProbeAfterMs) {
                waitForWork(kIdleStepMs);
                continue;
            }
            if (!m_removed) {
                Request probe;
                probe.msgid = IdleProbeId;
                probe.data = KXMakeDataStreamCmd("#INTERF*", DataProtocol7E01, true);
                probe.timeout = m_timeOut7E01;
                QByteArray reply;
                sendText(probe, kReadSlice, reply);
            }
            idleTimer.restart();
            continue;
        }
        waitForWork(kIdleStepMs);
    }
    qCDebug(lcConnector).noquote()
        << "***DataStream*** KXDeviceConnector::run() exit!!! [Thread]:" << threadId();
}

QString KXDeviceConnector::sendBinaryMessage(const QByteArray& data, KXReplyCallback callback,
                                             QObject* context, int timeout)
{
    if (!QThread::isRunning() || !m_running) {
        if (callback)
            callback(QString(), ErrorNotRunning, QByteArray(), context);
        return QString();
    }
    const QString msgid = newMessageId();
    auto record = QSharedPointer<CallbackRecord>::create();
    record->callback = std::move(callback);
    record->context = context;
    if (QCoreApplication* app = QCoreApplication::instance()) {
        // The time-out runs on the application's thread, which is always
        // there, whatever thread queued the request.
        QPointer<KXDeviceConnector> self(this);
        const auto arm = [self, msgid, timeout, app] {
            QTimer::singleShot(timeout, app, [self, msgid] {
                if (self)
                    self->onTimeout(msgid);
            });
        };
        // Made on that thread, the timer belongs to its event dispatcher and
        // goes with it; one made on another thread would outlive an
        // application that ends before it fires.
        if (QThread::currentThread() == app->thread())
            arm();
        else
            QMetaObject::invokeMethod(app, arm, Qt::QueuedConnection);
    }
    {
        QMutexLocker locker(&m_callbacksMutex);
        m_callbacks.insert(msgid, record);
    }
    Request request;
    request.msgid = msgid;
    request.data = data;
    request.timeout = timeout;
    enqueue(request);
    return msgid;
}

int KXDeviceConnector::sendBinaryMessage(const QByteArray& data, QByteArray& reply, int timeout)
{
    int errcode = ErrorNotRunning;
    reply.clear();
    if (QThread::isRunning() && m_running) {
        QPointer<QEventLoop> loop = new QEventLoop;
        if (QCoreApplication* app = QCoreApplication::instance())
            connect(app, &QCoreApplication::aboutToQuit, loop, &QEventLoop::quit);
        Request request;
        request.msgid = newMessageId();
        request.data = data;
        request.timeout = qMax(timeout, data.size() / 100);
        request.loop = loop;
        // In place before the request can be answered.
        handleEx(request.msgid, &errcode, &reply, loop);
        enqueue(request);
        QPointer<KXDeviceConnector> self(this);
        const int exitCode = loop->exec();
        // A waiter still registered now was not answered; it must not write
        // into this frame later.
        if (self)
            dropWaiter(request.msgid);
        if (exitCode == ErrorWaitEnded && self && loop) {
            qCDebug(lcConnector) << "***DataStream*** [EVENT] EventLoop exit!";
            errcode = ErrorWaitEnded;
        }
        if (loop)
            loop->deleteLater();
        qCDebug(lcConnector).noquote()
            << "***DataStream*** KXDeviceConnector::sendBinaryMessage finished()!!! MsgId:"
            << request.msgid << "[Thread]:" << threadId();
    }
    qCDebug(lcConnector) << "***DataStream*** [DELE]" << data.left(30) << errcode << reply.size();
    return errcode;
}

void KXDeviceConnector::handleEx(const QString& msgid, int* errcode, QByteArray* reply,
                                 QEventLoop* loop)
{
    qCDebug(lcConnector).noquote()
        << "***DataStream*** KXDeviceConnector::handleEx()!!! [Thread]:" << threadId();
    QMutexLocker locker(&m_waitersMutex);
    if (m_waiters.contains(msgid)) {
        const Waiter old = m_waiters.take(msgid);
        disconnect(old.exitConnection);
        disconnect(old.replyConnection);
    }
    QPointer<QEventLoop> guardedLoop(loop);
    Waiter waiter;
    waiter.onReply = [errcode, reply, guardedLoop](const int& code, const QByteArray& data) {
        *errcode = code;
        *reply = data;
        exitLoop(guardedLoop, 0);
    };
    waiter.onExit = [errcode, guardedLoop](const int& code) {
        *errcode = code;
        exitLoop(guardedLoop, ErrorWaitEnded);
    };
    waiter.replyConnection = connect(
        this, &KXDeviceConnector::replyMessageReceived, this,
        [this, msgid](const QString& id, int code, const QByteArray& data) {
            if (id == msgid)
                finishWaiter(msgid, true, code, data);
        },
        Qt::DirectConnection);
    waiter.exitConnection = connect(
        this, &KXDeviceConnector::OnExit, this,
        [this, msgid](int code) { finishWaiter(msgid, false, code, QByteArray()); },
        Qt::DirectConnection);
    m_waiters.insert(msgid, waiter);
}

void KXDeviceConnector::finishWaiter(const QString& msgid, bool isReply, int errcode,
                                     const QByteArray& data)
{
    QMutexLocker locker(&m_waitersMutex);
    auto it = m_waiters.find(msgid);
    if (it == m_waiters.end())
        return;
    const Waiter waiter = it.value();
    m_waiters.erase(it);
    disconnect(waiter.exitConnection);
    disconnect(waiter.replyConnection);
    if (isReply)
        waiter.onReply(errcode, data);
    else
        waiter.onExit(errcode);
}

bool KXDeviceConnector::dropWaiter(const QString& msgid)
{
    QMutexLocker locker(&m_waitersMutex);
    if (!m_waiters.contains(msgid))
        return false;
    const Waiter waiter = m_waiters.take(msgid);
    disconnect(waiter.exitConnection);
    disconnect(waiter.replyConnection);
    return true;
}

void KXDeviceConnector::discardAllMessages()
{
    QMutexLocker locker(&m_queueMutex);
    for (const Request& request : qAsConst(m_queue)) {
        if (!request.loop || !request.loop->isRunning())
            continue;
        qCDebug(lcConnector) << "KXDeviceConnector::discardAllMessages..." << request.msgid
                             << request.data;
        // Only a wait that nothing has answered yet ends with -999.
        if (dropWaiter(request.msgid))
            exitLoop(request.loop, ErrorWaitEnded);
    }
    m_queue.clear();
}

QSharedPointer<KXDeviceConnector::CallbackRecord>
KXDeviceConnector::takeCallbackRecord(const QString& msgid)
{
    QMutexLocker locker(&m_callbacksMutex);
    return m_callbacks.take(msgid);
}

void KXDeviceConnector::onReplyReceived(QString msgid, int errcode, QByteArray data)
{
    const QSharedPointer<CallbackRecord> record = takeCallbackRecord(msgid);
    if (!record)
        return;
    {
        QMutexLocker locker(&record->mutex);
        if (record->handled || record->cancelled)
            return;
        record->handled = true;
    }
    deliver(record, msgid, errcode, data);
}

void KXDeviceConnector::onTimeout(QString msgid)
{
    const QSharedPointer<CallbackRecord> record = takeCallbackRecord(msgid);
    if (!record)
        return;
    {
        QMutexLocker locker(&record->mutex);
        if (record->handled || record->cancelled)
            return;
        record->handled = true;
    }
    removeQueuedRequest(msgid);
    deliver(record, msgid, ErrorTimeout, QByteArray());
}

bool KXDeviceConnector::cancelRequest(const QString& msgid, bool notify)
{
    const QSharedPointer<CallbackRecord> record = takeCallbackRecord(msgid);
    if (!record)
        return false;
    {
        QMutexLocker locker(&record->mutex);
        if (record->handled)
            return false;
        record->handled = true;
        record->cancelled = true;
    }
    removeQueuedRequest(msgid);
    if (notify && record->callback)
        deliver(record, msgid, ErrorCancelled, QByteArray());
    return true;
}

void KXDeviceConnector::cancelAllRequests()
{
    QList<QString> ids;
    {
        QMutexLocker locker(&m_callbacksMutex);
        ids = m_callbacks.keys();
    }
    for (const QString& id : qAsConst(ids))
        cancelRequest(id, false);
}

void KXDeviceConnector::deliver(const QSharedPointer<CallbackRecord>& record, const QString& msgid,
                                int errcode, const QByteArray& data)
{
    if (!record->callback)
        return;
    const QPointer<QObject> context = record->context;
    QThread* target = context ? context->thread() : nullptr;
    if (!target && QCoreApplication::instance())
        target = QCoreApplication::instance()->thread();
    auto call = [record, msgid, errcode, data] {
        // The context may have gone while the call was on its way.
        record->callback(msgid, errcode, data, record->context.data());
    };
    if (!target || target == QThread::currentThread()) {
        call();
        return;
    }
    // The thread's event dispatcher lives exactly as long as the thread, so
    // the call is never dropped with a context that goes away meanwhile.
    QObject* postTo = QAbstractEventDispatcher::instance(target);
    if (!postTo)
        postTo = QCoreApplication::instance();
    QMetaObject::invokeMethod(postTo, call, Qt::QueuedConnection);
}

bool KXDeviceConnector::disconnectDevice()
{
    stopAndCloseTransport();
    return true;
}

int KXDeviceConnector::setTimeOut_7E01(int ms)
{
    const int previous = m_timeOut7E01;
    if (ms > 0)
        m_timeOut7E01 = ms;
    return previous;
}

void KXDeviceConnector::deviceArrival(bool arrived, bool removedNotice)
{
    if (arrived) {
        m_reopenEnabled = true;
        m_removed = false;
    } else if (removedNotice) {
        m_removed = true;
    }
}

bool KXDeviceConnector::decodeImage(const QByteArray& image, int width, int height, QByteArray& out,
                                    int* outLength)
{
    if (m_decoding || !m_transport)
        return false;
    {
        QMutexLocker locker(&m_queueMutex);
        m_queue.clear();
    }
    m_running = false;
    wait(200);
    m_decoding = true;

    IDataStreamReadWrite* link = m_transport;
    const auto exchange = [link](const QByteArray& frame, uint readMs, QByteArray& answer) {
        answer.clear();
        if (!frame.isEmpty() && !link->write(frame))
            return false;
        link->read_ex(answer, readMs, IDataStreamReadWrite::NoInterval, nullptr);
        return true;
    };
    const auto isZeroReply = [](const QByteArray& answer) {
        return answer.startsWith(QByteArray(4, '\0'));
    };
    const auto startsWithAck = [](const QByteArray& answer) {
        return !answer.isEmpty() && answer.at(0) == kDataStreamAck;
    };
    // The decoder's own framing: 0x1B 0x99 and a function byte.
    const QByteArray start("\x1B\x99\x00", 3);
    QByteArray header("\x1B\x99\x01", 3);
    char sizes[8];
    qToLittleEndian<quint32>(quint32(width) * quint32(height), sizes);
    qToLittleEndian<quint16>(quint16(width), sizes + 4);
    qToLittleEndian<quint16>(quint16(height), sizes + 6);
    header.append(sizes, 8);
    const QByteArray fetch("\x1B\x99\x02", 3);
    const QByteArray length("\x1B\x99\x04", 3);

    bool ok = false;
    QByteArray answer;
    do {
        if (!exchange(start, 300, answer) || answer.isEmpty() || isZeroReply(answer))
            break;
        if (!exchange(header, 100, answer) || !startsWithAck(answer))
            break;
        bool written = true;
        for (int offset = 0; offset < image.size() && written; offset += 8192) {
            QThread::msleep(40); // the decoder takes pieces at its own pace
            written = link->write(image.mid(offset, 8192));
        }
        if (!written)
            break;
        if (!exchange(QByteArray(), 70, answer) || !startsWithAck(answer))
            break;
        if (!exchange(fetch, 500, answer) || answer.isEmpty() || isZeroReply(answer))
            break;
        if (!exchange(QByteArray(1, kDataStreamAck), 100, answer) || answer.isEmpty())
            break;
        out = answer;
        if (!exchange(length, 100, answer) || answer.isEmpty())
            break;
        if (outLength && answer.size() >= 4)
            *outLength = int(qFromLittleEndian<quint32>(answer.constData()));
        ok = true;
    } while (false);

    startThread();
    m_decoding = false;
    return ok;
}
