#include "KXOffLineAdaptor.h"

#include <cstring>

KXOffLineAdaptor::KXOffLineAdaptor(QObject* parent) : IDataStreamReadWrite(parent)
{
    m_frameSize = DefaultFrameSize;
    m_portKind = PortKindOffline;
}

KXOffLineAdaptor::~KXOffLineAdaptor() = default;

bool KXOffLineAdaptor::loadFiles(const QString& configFile, const QString& offlineFile)
{
    return m_engine.loadFiles(configFile, offlineFile);
}

bool KXOffLineAdaptor::write(const QByteArray& data)
{
    return m_engine.answerFrame(data, m_pending);
}

uint KXOffLineAdaptor::read_data(quint8* pszBuffer, int nBuffer, uint reponse_time)
{
    Q_UNUSED(reponse_time)
    if (!pszBuffer || nBuffer < 1 || m_pending.isEmpty())
        return 0;
    const int count = qMin(nBuffer, m_pending.size());
    std::memcpy(pszBuffer, m_pending.constData(), size_t(count));
    m_pending.remove(0, count);
    return uint(count);
}

quint32 KXOffLineAdaptor::read_ex(QByteArray& out, uint reponse_time, uint interval, uint* error)
{
    Q_UNUSED(reponse_time)
    Q_UNUSED(interval)
    Q_UNUSED(error)
    if (m_pending.isEmpty())
        return 0;
    out.swap(m_pending);
    m_pending.clear();
    return quint32(out.size());
}

quint32 KXOffLineAdaptor::read_until(QByteArray& out, uint reponse_time, uint interval,
                                     const char* pat, int patLength, uint* error)
{
    Q_UNUSED(pat)
    Q_UNUSED(patLength)
    return read_ex(out, reponse_time, interval, error);
}

bool KXOffLineAdaptor::close()
{
    m_engine.clearSettings();
    return true;
}

bool KXOffLineAdaptor::is_open()
{
    return true;
}

bool KXOffLineAdaptor::update_firmware_file(const QString& fileName, KXFirmwareProgress* progress,
                                            int type, uint* error)
{
    Q_UNUSED(fileName)
    Q_UNUSED(progress)
    Q_UNUSED(type)
    Q_UNUSED(error)
    return false;
}

int KXOffLineAdaptor::clean(int value)
{
    Q_UNUSED(value)
    m_pending.clear();
    return 0;
}
