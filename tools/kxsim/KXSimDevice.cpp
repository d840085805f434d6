#include "KXSimDevice.h"

#include "KXSimFrames.h"
#include "datastream/KXDataStreamInternal.h"

#include <algorithm>

namespace {

QByteArray barcode(quint64 number)
{
    return "KXSIM-BARCODE-" + QByteArray::number(number).rightJustified(4, '0') + "\r\n";
}

QByteArray messageData(quint64 number)
{
    return "KXSIM-MESSAGE-" + QByteArray::number(number).rightJustified(4, '0');
}

} // namespace

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

bool KXSimDevice::answerText(const QByteArray& text, QByteArray& replyText)
{
    const QByteArrayList commands = simCommands(text);
    if (std::none_of(commands.cbegin(), commands.cend(),
                     [this](const QByteArray& command) { return isRefused(command); }))
        return m_engine.answerText(text, replyText);

    // One command at a time, the refused ones left out, and the reply put
    // together as the engine does: later commands of the first command's tag
    // are named by their sub-tag alone.
    replyText.clear();
    const QByteArray firstTag = commands.first().left(3);
    for (const QByteArray& command : commands) {
        const QByteArray name = command.left(6);
        if (replyText.isEmpty())
            replyText += name;
        else if (name.startsWith(firstTag))
            replyText += ',' + name.mid(3);
        else
            replyText += ';' + name;
        QByteArray one;
        if (isRefused(command))
            replyText += command.mid(6) + kDataStreamNak;
        else if (m_engine.answerText(command, one))
            replyText += one.mid(name.size());
    }
    return true;
}

QString KXSimDevice::settingValue(const QString& mnemonic) const
{
    const OfflineSetting* setting = m_engine.setting(mnemonic);
    return setting ? setting->currentValue : QString();
}

bool KXSimDevice::setQueryAnswer(const QString& mnemonic, const QString& value)
{
    OfflineSetting* setting = m_engine.settings().value(mnemonic, nullptr);
    if (!setting)
        return false;
    setting->currentValue = value;
    return true;
}

bool KXSimDevice::setSetting(const QString& mnemonic, const QString& value)
{
    if (value.contains(QLatin1Char(',')) || value.contains(QLatin1Char(';')) ||
        !m_engine.setting(mnemonic))
        return false;
    QByteArray reply;
    return m_engine.answerText((mnemonic + value).toLatin1(), reply) &&
           reply.endsWith(kDataStreamAck) && settingValue(mnemonic) == value;
}

bool KXSimDevice::isRefused(const QByteArray& command) const
{
    if (!m_units.scanner && (command.startsWith("QRY") || command.startsWith("PRNQRY")))
        return true;
    return !m_units.base && command.startsWith("BAS");
}

QByteArray KXSimDevice::takeBarcode()
{
    return barcode(++m_barcodes);
}

QByteArray KXSimDevice::takeMessageData()
{
    return messageData(++m_messages);
}

bool KXSimDevice::fitsOneFrame(qint64 barcodes, qint64 messages, qint64 mixed) const
{
    // 64-bit sums of int counts cannot overflow. Each piece is taken as long
    // as the last one's number makes it.
    barcodes += mixed;
    messages += mixed;
    const qint64 bytes =
        barcodes * barcode(m_barcodes + quint64(barcodes)).size() +
        messages * simMessageFrame(messageData(m_messages + quint64(messages))).size();
    return bytes <= MaxDataPerFrame;
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
