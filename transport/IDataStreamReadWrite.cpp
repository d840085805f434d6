#include "IDataStreamReadWrite.h"

IDataStreamReadWrite::IDataStreamReadWrite(QObject* parent) : QObject(parent) {}

IDataStreamReadWrite::~IDataStreamReadWrite() = default;

bool IDataStreamReadWrite::open()
{
    return true;
}

quint32 IDataStreamReadWrite::read_poll(QByteArray& out, uint reponse_time)
{
    return read_ex(out, reponse_time, NoInterval, nullptr);
}

void IDataStreamReadWrite::wakeReaders() {}

void IDataStreamReadWrite::setFrameSize(int size)
{
    m_frameSize = size < 1 ? DefaultFrameSize : qMin(size, MaxFrameSize);
}
