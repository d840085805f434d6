#include "KXDeviceConnector.h"

#include "KXConnectorLog.h"

#include "datastream/KXDataStreamInternal.h"

#include <KXDataStream.h>

#include <QStringList>

#include <algorithm>

namespace {

constexpr char kPrefix[] = "***DataStream***";
constexpr char kTerminator[] = ";\x03";
constexpr int kTerminatorLength = 2;

// Pieces of a large frame: the device's receive buffer takes at most this much
// at once.
constexpr int kWritePieceSize = 10240;
constexpr unsigned long kLengthPrefixedPieceGapMs = 25;

// While no reply header is found, this many trailing bytes stay in the buffer:
// they may hold the start of the header.
constexpr int kHeaderTail = 13;

// A silent device that owes a long image transfer has given up.
constexpr qint64 kLongImageSilenceMs = 5000;

constexpr unsigned long kLengthPrefixedEmptyReadSleepMs = 10;

// Largest reply a text request collects: a plain reply is the size of the
// largest length-prefixed frame at most; image data is allowed more. A
// device that sends more without ending its frame has failed the request.
constexpr int kMaxTextReply = 0xFFFFFF;
constexpr int kMaxImageReply = 64 * 1024 * 1024;

constexpr int kEmptyReadLogEvery = 100;

// Commands whose device goes quiet only when the transfer has failed; an
// IMGGET with "3T" is a short thumbnail and keeps the normal time-out.
bool isLongImageCommand(const QString& cmd, const QByteArray& params)
{
    if (cmd == QLatin1String("IMGGET"))
        return !params.contains("3T");
    return cmd == QLatin1String("IMGJGT") || cmd == QLatin1String("IMGTGT") ||
           cmd == QLatin1String("IMGBGT") || cmd == QLatin1String("IMGGLI");
}

bool linkOpen(IDataStreamReadWrite* transport)
{
    return transport && transport->is_open();
}

// Writes `frame` in pieces, pausing `gapMs` after each one written. Returns
// the bytes written; fewer than the frame's size means a write failed.
qint64 writeInPieces(IDataStreamReadWrite* transport, const QByteArray& frame, unsigned long gapMs)
{
    if (!transport)
        return 0;
    qint64 written = 0;
    while (written < frame.size()) {
        const QByteArray piece = frame.mid(int(written), kWritePieceSize);
        if (piece.isEmpty() || !transport->write(piece))
            break;
        written += piece.size();
        if (gapMs > 0)
            QThread::msleep(gapMs);
    }
    return written;
}

// About 10 s per MiB of request, bounded below so that a small request still
// waits out a slow device.
qint64 readEmptyTimeout(qint64 frameSize, qint64 timeout)
{
    const qint64 bySize = qRound64(double(frameSize) * 10000.0 / 1048576.0);
    if (timeout < 120000)
        return std::max<qint64>(3000, std::min(timeout, bySize));
    return std::max<qint64>(60000, std::min(timeout, bySize));
}

QString hexHead(const QByteArray& data, int n)
{
    return QString::fromLatin1(data.left(n).toHex());
}

QString hexTail(const QByteArray& data, int n)
{
    return QString::fromLatin1(data.right(n).toHex());
}

// Every send path opens and closes its log the same way; `path` names it.
void logSendStart(const char* path, const QString& msgid, int timeout)
{
    qCDebug(lcConnector).noquote() << kPrefix << "---------------------------------------------";
    qCDebug(lcConnector).noquote()
        << kPrefix
        << QStringLiteral("[%1] Send, MsgId:%2, TimeOut:%3")
               .arg(QLatin1String(path), msgid, QString::number(timeout));
}

void logSendFinished(const char* path, int result, int replySize)
{
    qCDebug(lcConnector).noquote()
        << kPrefix
        << QStringLiteral("[%1] Finished! ErrorCode:%2, ResponseSize:%3")
               .arg(QLatin1String(path), QString::number(result), QString::number(replySize));
}

bool clearsUpstream(const QStringList& cmds)
{
    return cmds.contains(QLatin1String("RUNONE")) || cmds.contains(QLatin1String("RUNSTX")) ||
           cmds.contains(QLatin1String("RUNSTP"));
}

} // namespace

int KXDeviceConnector::sendText(const Request& request, int readSlice, QByteArray& reply)
{
    logSendStart("7E01", request.msgid, request.timeout);
    reply.clear();
    int result = ErrorNoReply;

    QString specialCmd;
    QByteArray specialParams;
    if (!KXCheckDataStreamCmd(request.data, specialCmd, specialParams)) {
        result = ErrorBadCommand;
    } else {
        qCDebug(lcConnector).noquote()
            << kPrefix << QStringLiteral("[7E01] WriteEx! WriteSize:%1").arg(request.data.size());
        if (!m_transport || !m_transport->write(request.data)) {
            qCDebug(lcConnector).noquote()
                << kPrefix
                << QStringLiteral("[7E01] writeEx fail! isConnected:%1").arg(linkOpen(m_transport));
            result = ErrorWrite;
        } else {
            const bool image = isImageCommand(specialCmd);
            const int timeout = image ? ImageReplyTimeout : m_timeOut7E01.load();
            // Silence ends a wait by the rules below; this bounds a device
            // that keeps sending without ever completing its reply. An image
            // may take as long as the caller allows.
            const int limit = image ? std::max(timeout, request.timeout) : timeout;
            QByteArray buffer;
            readTextReply(timeout, limit, readSlice, specialCmd, specialParams, buffer);

            QByteArray before;
            QByteArray frame;
            QByteArray rest;
            if (splitDataStreamFrame(buffer, before, frame, rest)) {
                // The split runs to the last terminator read, so a device
                // message read together with the reply would end up inside
                // it: the reply ends before the message instead. (Image data
                // may hold any bytes.)
                const int message = image ? -1 : GetCmdResponsePos(frame, DataProtocol7E08, {});
                const int end = message < 0
                                    ? -1
                                    : int(frame.lastIndexOf(
                                          QByteArray::fromRawData(kTerminator, kTerminatorLength),
                                          message - kTerminatorLength));
                if (end >= 0) {
                    rest.prepend(frame.mid(end + kTerminatorLength));
                    frame.truncate(end + kTerminatorLength);
                }
                result = ErrorNone;
                reply = frame;
                dispatchUpStreamData(before, false);
                dispatchUpStreamData(rest, true);
            } else if (!buffer.isEmpty() && !image) {
                // Image material without its header is no barcode; anything
                // else is what the device sent on its own.
                dispatchUpStreamData(buffer, false);
            }
        }
    }

    logSendFinished("7E01", result, reply.size());
    return result;
}

bool KXDeviceConnector::readTextReply(int timeoutMs, int limitMs, int readSlice,
                                      const QString& specialCmd, const QByteArray& specialParams,
                                      QByteArray& buffer)
{
    QElapsedTimer totalTimer;
    totalTimer.start();
    QElapsedTimer emptyTimer;
    emptyTimer.start();
    bool found = false;
    qint64 needed = -1;
    int emptyCount = 0;
    const bool image = isImageCommand(specialCmd);
    const bool longImage = isLongImageCommand(specialCmd, specialParams);
    QStringList cmds;
    if (image)
        cmds.append(specialCmd);
    const QByteArray cmdBytes = specialCmd.toLatin1();
    const int maxReply = image ? kMaxImageReply : kMaxTextReply;

    if (!m_running || !m_transport)
        return false;

    while (m_running) {
        if (totalTimer.elapsed() >= limitMs)
            return false;
        // While the host has not taken what was passed on, read no more.
        if (hostBacklogFull()) {
            waitForHostBacklog(readSlice);
            continue;
        }
        const quint32 count =
            m_transport->read_until(buffer, uint(readSlice), IDataStreamReadWrite::NoInterval,
                                    kTerminator, kTerminatorLength, nullptr);
        if (count > 0) {
            emptyCount = 0;
            if (!found) {
                const int pos = GetCmdResponsePos(buffer, DataProtocol7E01, cmds);
                if (pos >= 0) {
                    found = true;
                    if (pos > 0) {
                        dispatchUpStreamData(buffer.left(pos), false);
                        buffer.remove(0, pos);
                    }
                } else if (buffer.size() > kHeaderTail) {
                    const int upstream = buffer.size() - kHeaderTail;
                    dispatchUpStreamData(buffer.left(upstream), true);
                    buffer.remove(0, upstream);
                }
            }
            if (found && !specialCmd.isEmpty() && needed == -1)
                needed = getExtendFrameLength(buffer, cmdBytes, specialParams);
            if (buffer.size() > maxReply || needed > maxReply)
                return false;
            if (!found)
                continue; // the time limit above ends a stream that never has it
            const bool complete =
                needed == -1 ? hasFrameTerminator(buffer) : buffer.size() >= needed;
            if (complete)
                return true;
        } else {
            if (m_removed)
                return false;
            if (emptyCount == 0)
                emptyTimer.restart();
            if (longImage && emptyTimer.elapsed() >= kLongImageSilenceMs)
                return false;
            if (emptyTimer.elapsed() >= timeoutMs)
                return false;
            ++emptyCount;
            QThread::msleep(5UL * ulong(emptyCount));
        }
    }
    return false;
}

int KXDeviceConnector::sendLengthPrefixed(const Request& request, int readSlice, QByteArray& reply)
{
    logSendStart("7E07", request.msgid, request.timeout);
    reply.clear();
    int result = ErrorNoReply;

    QString specialCmd;
    QByteArray specialParams;
    QStringList cmds;
    QByteArray frame = request.data;
    if (!KXCheckDataStreamCmd(frame, specialCmd, specialParams, &cmds) ||
        !appendDataStreamChecksum(frame, false)) {
        result = ErrorBadCommand;
    } else {
        const qint64 written = writeInPieces(m_transport, frame, kLengthPrefixedPieceGapMs);
        qCDebug(lcConnector).noquote()
            << kPrefix
            << QStringLiteral("[7E07] WriteEx! WriteSize:%1, TotalSize:%2")
                   .arg(written)
                   .arg(frame.size())
            << cmds;
        if (written != frame.size()) {
            qCDebug(lcConnector).noquote()
                << kPrefix
                << QStringLiteral("[7E07] writeEx fail! isConnected:%1").arg(linkOpen(m_transport));
            result = ErrorWrite;
        } else {
            const qint64 timeout = request.timeout;
            const qint64 emptyTimeout = readEmptyTimeout(frame.size(), timeout);
            QByteArray buffer;
            qint64 needed = -1;
            bool found = false;
            int emptyCount = 0;
            QElapsedTimer totalTimer;
            totalTimer.start();
            QElapsedTimer emptyTimer;
            emptyTimer.start();

            while (totalTimer.elapsed() < timeout) {
                // A stop (disconnect, destruction) need not wait for silence.
                if (m_removed || !m_running)
                    break;
                if (hostBacklogFull()) {
                    waitForHostBacklog(readSlice);
                    continue;
                }
                const quint32 count = m_transport->read_until(
                    buffer, uint(readSlice), IDataStreamReadWrite::NoInterval, kTerminator,
                    kTerminatorLength, nullptr);
                if (count == 0) {
                    ++emptyCount;
                    if (emptyCount == 1) {
                        emptyTimer.restart();
                        QThread::msleep(kLengthPrefixedEmptyReadSleepMs);
                        continue;
                    }
                    if (emptyCount % kEmptyReadLogEvery == 0) {
                        qCDebug(lcConnector).noquote()
                            << kPrefix
                            << QStringLiteral("[7E07] ReadUntil fail! ReadSize==0! Retry:%1, "
                                              "Elapsed:%2, UseTime:%3")
                                   .arg(emptyCount)
                                   .arg(emptyTimer.elapsed())
                                   .arg(totalTimer.elapsed());
                    }
                    if (emptyTimer.elapsed() >= emptyTimeout) {
                        qCDebug(lcConnector).noquote()
                            << kPrefix
                            << QStringLiteral("[7E07] ReadUntil fail! ReadSize==0 Timeout! "
                                              "Timeout:%1, Elapsed:%2, UseTime:%3")
                                   .arg(emptyTimeout)
                                   .arg(emptyTimer.elapsed())
                                   .arg(totalTimer.elapsed());
                        break;
                    }
                    QThread::msleep(kLengthPrefixedEmptyReadSleepMs);
                    continue;
                }

                emptyCount = 0;
                if (!found) {
                    const int pos = GetCmdResponsePos(buffer, DataProtocol7E07, cmds);
                    if (pos < 0) {
                        if (buffer.size() > kHeaderTail) {
                            const int upstream = buffer.size() - kHeaderTail;
                            dispatchUpStreamData(buffer.left(upstream), true);
                            buffer.remove(0, upstream);
                        }
                        continue;
                    }
                    found = true;
                    if (pos > 0) {
                        const QByteArray upstream = buffer.left(pos);
                        dispatchUpStreamData(upstream, false);
                        buffer.remove(0, pos);
                        qCDebug(lcConnector).noquote()
                            << kPrefix
                            << QStringLiteral("[7E07] GetCmdResponsePos *Prepend-Exist! Index:%1")
                                   .arg(pos)
                            << hexHead(upstream, 20) << hexTail(upstream, 20);
                    }
                    qCDebug(lcConnector).noquote()
                        << kPrefix
                        << QStringLiteral("[7E07] GetCmdResponsePos Prefix-Exist! Index:%1")
                               .arg(pos)
                        << hexHead(buffer, 20) << hexTail(buffer, 20);
                }
                if (needed == -1) {
                    needed = getDataStreamFrameLength(DataProtocol7E07, buffer, false);
                    if (needed == -1)
                        continue;
                }
                if (buffer.size() >= needed)
                    break;
            }

            QByteArray before;
            QByteArray replyFrame;
            QByteArray rest;
            if (splitDataStreamFrame(buffer, before, replyFrame, rest)) {
                if (checkDataStreamChecksum(replyFrame, false)) {
                    result = ErrorNone;
                    reply = replyFrame;
                } else {
                    result = ErrorBadReply;
                }
                dispatchUpStreamData(before, false);
                dispatchUpStreamData(rest, true);
            }
            qCDebug(lcConnector).noquote()
                << kPrefix
                << QStringLiteral("[7E07] ReadUntil! ErrorCode:%1, ReadSize:%2, UseTime:%3, "
                                  "NeedReadSize:%4, ReadEmptyTimeout:%5")
                       .arg(result)
                       .arg(buffer.size())
                       .arg(totalTimer.elapsed())
                       .arg(needed)
                       .arg(emptyTimeout);
        }
    }

    logSendFinished("7E07", result, reply.size());
    // These commands restart the device's data output: what was held from
    // before belongs to the old run.
    if (result == ErrorNone && clearsUpstream(cmds))
        m_upstreamBuffer.clear();
    return result;
}

int KXDeviceConnector::sendRaw(const Request& request, QByteArray& reply)
{
    logSendStart("7Exx", request.msgid, request.timeout);
    reply.clear();
    const qint64 written = writeInPieces(m_transport, request.data, 0);
    qCDebug(lcConnector).noquote() << kPrefix
                                   << QStringLiteral("[7Exx] WriteEx! WriteSize:%1, TotalSize:%2")
                                          .arg(written)
                                          .arg(request.data.size());
    const int result = written == request.data.size() ? ErrorNone : ErrorWrite;
    logSendFinished("7Exx", result, reply.size());
    return result;
}
