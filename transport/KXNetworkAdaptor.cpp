#include "KXNetworkAdaptor.h"

#include "KXNetworkWorker.h"
#include "KXTransportLog.h"
#include "KXUpgrade/KXBlockDownload.h"
#include "KXUpgrade/KXFirmwareFormats.h"

#include <QThread>

KXNetworkAdaptor::KXNetworkAdaptor(QObject* parent) : IDataStreamReadWrite(parent)
{
    m_frameSize = DefaultFrameSize;
    m_portKind = PortKindNetwork;
    m_thread = new QThread(this);
    m_thread->setObjectName(QStringLiteral("KXNetworkWorker"));
    m_worker = new KXNetworkWorker;
    QObject::connect(m_worker, &KXNetworkWorker::connectChanged, this,
                     &IDataStreamReadWrite::connectChanged);
    m_worker->moveToThread(m_thread);
    m_thread->start(QThread::InheritPriority);
}

KXNetworkAdaptor::~KXNetworkAdaptor()
{
    qCDebug(lcTransport) << "KXNetworkAdaptor::~KXNetworkAdaptor() start...";
    m_worker->shutdownReaders();
    // The socket belongs to the worker thread and must die there.
    if (m_thread->isRunning())
        QMetaObject::invokeMethod(
            m_worker, [this] { m_worker->releaseSocket(); }, Qt::BlockingQueuedConnection);
    m_thread->quit();
    m_thread->wait();
    delete m_worker;
    qCDebug(lcTransport) << "KXNetworkAdaptor::~KXNetworkAdaptor() end...";
}

template <typename Call>
bool KXNetworkAdaptor::invokeOnWorker(Call call)
{
    bool result = false;
    // A blocking call into a thread that no longer runs would never return,
    // and one from the worker thread itself would deadlock.
    if (!m_thread->isRunning() || QThread::currentThread() == m_thread)
        return false;
    QMetaObject::invokeMethod(m_worker, std::move(call), Qt::BlockingQueuedConnection, &result);
    return result;
}

bool KXNetworkAdaptor::connect(const QString& ip, quint16 port, bool isReconnectEnable)
{
    return invokeOnWorker([this, &ip, port, isReconnectEnable] {
        return m_worker->connect_to_tcp(ip, port, isReconnectEnable);
    });
}

bool KXNetworkAdaptor::close()
{
    return invokeOnWorker([this] { return m_worker->disconnect_from_host(); });
}

bool KXNetworkAdaptor::write(const QByteArray& data)
{
    // The caller waits, so the frame is borrowed rather than copied.
    return invokeOnWorker([this, &data] { return m_worker->write(data); });
}

uint KXNetworkAdaptor::read_data(quint8* pszBuffer, int nBuffer, uint reponse_time)
{
    return m_worker->read_data(pszBuffer, nBuffer, reponse_time);
}

quint32 KXNetworkAdaptor::read_ex(QByteArray& out, uint reponse_time, uint interval, uint* error)
{
    const QByteArray data = m_worker->read_ex(reponse_time, interval, error);
    if (!data.isEmpty())
        out.append(data);
    return quint32(data.size());
}

quint32 KXNetworkAdaptor::read_poll(QByteArray& out, uint reponse_time)
{
    const QByteArray data = m_worker->read_poll(reponse_time);
    if (!data.isEmpty())
        out.append(data);
    return quint32(data.size());
}

quint32 KXNetworkAdaptor::read_until(QByteArray& out, uint reponse_time, uint interval,
                                     const char* pat, int patLength, uint* error)
{
    const QByteArray pattern = pat && patLength > 0 ? QByteArray(pat, patLength) : QByteArray();
    const QByteArray data = m_worker->read_until(reponse_time, interval, pattern, error);
    if (!data.isEmpty())
        out.append(data);
    return quint32(data.size());
}

bool KXNetworkAdaptor::is_open()
{
    return m_worker->isConnected();
}

bool KXNetworkAdaptor::update_firmware_file(const QString& fileName, KXFirmwareProgress* progress,
                                            int type, uint* error)
{
    // Network devices take firmware through the block download over this
    // very link; "nfp" packages announce their parts their own way.
    Q_UNUSED(type)
    Q_UNUSED(error)
    const int dot = fileName.lastIndexOf(QLatin1Char('.'));
    const bool package =
        dot >= 0 && fileName.mid(dot + 1).compare(QLatin1String("nfp"), Qt::CaseInsensitive) == 0;
    KXBlockDownload download(package ? KXBlockDownload::Variant::Package
                                     : KXBlockDownload::Variant::Image);
    download.setup(fileName, this, progress, frameSize());
    return download.run();
}

int KXNetworkAdaptor::clean(int value)
{
    Q_UNUSED(value)
    return 0;
}

void KXNetworkAdaptor::wakeReaders()
{
    m_worker->wakeReaders();
}
