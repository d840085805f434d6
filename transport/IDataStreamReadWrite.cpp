#include "IDataStreamReadWrite.h"

IDataStreamReadWrite::IDataStreamReadWrite(QObject* parent) : QObject(parent) {}

IDataStreamReadWrite::~IDataStreamReadWrite() = default;

bool IDataStreamReadWrite::open()
{
    return true;
}

void IDataStreamReadWrite::wakeReaders() {}

void IDataStreamReadWrite::setFrameSize(int size)
{
    m_frameSize = size < 1 ? DefaultFrameSize : qMin(size, MaxFrameSize);
}
