#ifndef KXCONNECTORPEERS_H
#define KXCONNECTORPEERS_H

// Peers and collectors for connector tests on real links: a device scripted
// by the test on a local TCP port, and a collector of what the connector
// passes on besides replies.

#include "connector/KXDeviceConnector.h"

#include <KXDataStream.h>

#include <QByteArrayList>
#include <QElapsedTimer>
#include <QPointer>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>
#include <QtEndian>
#include <QtTest>

#include <algorithm>
#include <atomic>
#include <functional>

namespace kxconntest {

constexpr int kWaitMs = 10000;
const QByteArray kTerminator(";\x03", 2);
const QString kLoopback = QStringLiteral("127.0.0.1");

inline QByteArray command(const QByteArray& text, EDataProtocol protocol = DataProtocol7E01)
{
    return KXMakeDataStreamCmd(text, protocol, true);
}

// The command a host text frame carries: "SCNMOD" of 7E 01 "0000#SCNMOD*;" 03.
inline QByteArray commandName(const QByteArray& frame)
{
    return frame.mid(7, 6);
}

// A protocol 1 device frame carrying `text`: 02 01 "0000@" text ";" 03.
inline QByteArray textReply(const QByteArray& text)
{
    return "\002\0010000@" + text + kTerminator;
}

// A length-prefixed device frame (protocol 7 or 8) carrying `text`; a nonzero
// `lengthError` makes its length field lie by that much.
inline QByteArray lengthFrame(char protocol, const QByteArray& text, int lengthError = 0)
{
    const QByteArray payload = '@' + text + kTerminator;
    QByteArray frame = QByteArray("\x02") + protocol + QByteArray(4, '\0');
    qToLittleEndian<quint32>(quint32(payload.size() + lengthError), frame.data() + 2);
    return frame + payload;
}

// A device played by the test on a local TCP port. Its links live on the
// test thread, whose events keep running while a synchronous send waits.
class ScriptedPeer : public QObject
{
public:
    ScriptedPeer()
    {
        QObject::connect(&m_server, &QTcpServer::newConnection, this, [this] {
            QTcpSocket* socket = link = m_server.nextPendingConnection();
            QObject::connect(socket, &QTcpSocket::readyRead, this,
                             [this, socket] { take(socket); });
        });
    }

    bool listen() { return m_server.listen(QHostAddress::LocalHost, 0); }
    quint16 port() const { return m_server.serverPort(); }
    bool waitForLink()
    {
        return QTest::qWaitFor([this] { return !link.isNull(); }, kWaitMs);
    }

    void send(const QByteArray& bytes)
    {
        if (link) {
            link->write(bytes);
            link->flush();
        }
    }
    // The first piece at once, each further one `gapMs` after the previous.
    void sendPieces(const QByteArrayList& pieces, int gapMs)
    {
        for (int i = 0; i < pieces.size(); ++i) {
            const QByteArray piece = pieces.at(i);
            QTimer::singleShot(i * gapMs, this, [this, piece] { send(piece); });
        }
    }

    // Called with each complete host frame received.
    std::function<void(const QByteArray& frame)> onFrame;
    QByteArray received; // every byte received, in order
    QByteArrayList frames;
    QPointer<QTcpSocket> link; // the latest link

private:
    void take(QTcpSocket* socket)
    {
        const QByteArray bytes = socket->readAll();
        received += bytes;
        m_pending += bytes;
        int end;
        while ((end = m_pending.indexOf(kTerminator)) >= 0) {
            const QByteArray frame = m_pending.left(end + kTerminator.size());
            m_pending.remove(0, frame.size());
            frames.append(frame);
            if (onFrame)
                onFrame(frame);
        }
    }

    QTcpServer m_server;
    QByteArray m_pending;
};

// What a connector passes on besides replies, gathered on the test thread:
// signals from the connector's other threads arrive queued.
class Collector : public QObject
{
public:
    explicit Collector(KXDeviceConnector& connector)
    {
        clock.start();
        // Timed where it is emitted, so that the test thread's own delays do
        // not count; made first, so the time is stored before the barcode
        // reaches this thread.
        connect(
            &connector, &KXDeviceConnector::barcodeReceived, this,
            [this] { lastBarcodeAt = clock.elapsed(); }, Qt::DirectConnection);
        connect(&connector, &KXDeviceConnector::barcodeReceived, this,
                [this](const QByteArray& data) { barcodes.append(data); });
        connect(&connector, &KXDeviceConnector::messageReceived, this,
                [this](const QByteArray& data) { messages.append(data); });
        connect(&connector, &KXDeviceConnector::logDataReceived, this,
                [this](const QByteArray& data) { logs.append(data); });
        connect(&connector, &KXDeviceConnector::logDisconnect, this, [this] { ++logDisconnects; });
    }

    QByteArray barcodeBytes() const { return barcodes.join(); }
    QByteArray logBytes() const { return logs.join(); }

    QByteArrayList barcodes;
    QByteArrayList messages;
    QByteArrayList logs;
    int logDisconnects = 0;
    QElapsedTimer clock;
    std::atomic<qint64> lastBarcodeAt{-1}; // on `clock`
};

// A connector on a link to a scripted peer, and what it passes on.
struct PeerLink
{
    bool open(bool reconnect = false)
    {
        return peer.listen() && connector.connectToDevice(kLoopback, peer.port(), reconnect) &&
               peer.waitForLink();
    }
    // The peer acknowledges each request but `except`.
    void answerAllBut(const QByteArray& except)
    {
        peer.onFrame = [this, except](const QByteArray& frame) {
            if (frame != except)
                peer.send(textReply(commandName(frame) + "0\x06"));
        };
    }

    ScriptedPeer peer; // outlives the connector
    KXDeviceConnector connector;
    Collector collector{connector};
};

// Callback calls, gathered on the test thread: every request must be
// answered exactly once.
struct CallbackLog
{
    struct Call
    {
        QString msgid;
        int errcode;
        QByteArray data;
        QObject* context;
    };

    KXReplyCallback callback()
    {
        return [this](const QString& msgid, int errcode, const QByteArray& data, QObject* context) {
            calls.append({msgid, errcode, data, context});
        };
    }
    QVector<int> codes(const QString& msgid) const
    {
        QVector<int> found;
        for (const Call& call : calls)
            if (call.msgid == msgid)
                found.append(call.errcode);
        return found;
    }
    int count(const QString& msgid) const { return codes(msgid).size(); }
    // The code of the first call for `msgid`, or 1 (no code) when none came.
    int code(const QString& msgid) const { return codes(msgid).value(0, 1); }

    QList<Call> calls;
};

} // namespace kxconntest

#endif // KXCONNECTORPEERS_H
