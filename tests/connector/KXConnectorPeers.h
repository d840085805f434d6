#ifndef KXCONNECTORPEERS_H
#define KXCONNECTORPEERS_H

// Peers and collectors for connector tests on real links: a device scripted
// by the test on a local TCP port, and a collector of what the connector
// passes on besides replies.

#include "connector/KXDeviceConnector.h"

#include <KXDataStream.h>

#include <QByteArrayList>
#include <QPointer>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>
#include <QtEndian>
#include <QtTest>

#include <functional>

namespace kxconntest {

constexpr int kWaitMs = 10000;
const QByteArray kTerminator(";\x03", 2);

inline QByteArray command(const QByteArray& text, EDataProtocol protocol = DataProtocol7E01)
{
    return KXMakeDataStreamCmd(text, protocol, true);
}

// A protocol 1 device frame carrying `text`.
inline QByteArray textReply(const QByteArray& text)
{
    return QByteArray("\x02\x01"
                      "0000@",
                      7) +
           text + kTerminator;
}

// A length-prefixed device frame (protocol 7 or 8) carrying `text`; a nonzero
// `lengthError` makes its length field lie by that much.
inline QByteArray lengthFrame(char protocol, const QByteArray& text, int lengthError = 0)
{
    const QByteArray payload = '@' + text + kTerminator;
    QByteArray frame(6, '\0');
    frame[0] = '\x02';
    frame[1] = protocol;
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
            while (QTcpSocket* socket = m_server.nextPendingConnection()) {
                link = socket;
                QObject::connect(socket, &QTcpSocket::readyRead, this,
                                 [this, socket] { take(socket); });
            }
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
};

} // namespace kxconntest

#endif // KXCONNECTORPEERS_H
