#include "KXSimDevice.h"

KXSimDevice::KXSimDevice(QObject* parent) : QObject(parent)
{
    connect(&m_logTimer, &QTimer::timeout, this, [this] { log(QStringLiteral("tick")); });
}

bool KXSimDevice::loadFiles(const QString& configFile, const QString& offlineFile)
{
    const bool loaded = m_engine.loadFiles(configFile, offlineFile);
    log(QStringLiteral("device files %1 and %2 %3")
            .arg(configFile, offlineFile,
                 loaded ? QStringLiteral("loaded") : QStringLiteral("failed to load")));
    return loaded;
}

QByteArray KXSimDevice::takeBarcode()
{
    return "KXSIM-BARCODE-" + QByteArray::number(++m_barcodes).rightJustified(4, '0') + "\r\n";
}

QByteArray KXSimDevice::takeMessageData()
{
    return "KXSIM-MESSAGE-" + QByteArray::number(++m_messages).rightJustified(4, '0');
}

void KXSimDevice::log(const QString& text)
{
    const QByteArray line =
        QByteArray::number(++m_logLines).rightJustified(6, '0') + ' ' + text.toUtf8() + "\r\n";
    m_log.append(line);
    if (m_log.size() > MaxLogSize) {
        // Keep the newer half, starting at a line.
        const int cut = int(m_log.indexOf('\n', m_log.size() - MaxLogSize / 2));
        m_log.remove(0, cut < 0 ? m_log.size() : cut + 1);
    }
    if (m_logStreamMs > 0)
        emit logLineAdded(line);
}

void KXSimDevice::addLogLines(int count)
{
    for (int i = 0; i < count; ++i)
        log(QStringLiteral("status line: scanner idle, illumination off, buffer empty"));
}

void KXSimDevice::setLogStreamMs(int ms)
{
    m_logStreamMs = ms;
    if (ms > 0)
        m_logTimer.start(ms);
    else
        m_logTimer.stop();
}
