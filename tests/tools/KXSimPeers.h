#ifndef KXSIMPEERS_H
#define KXSIMPEERS_H

// Test peers of kxsim: the simulator as a child process, and a plain TCP
// client that collects what the simulator sends.

#include <QElapsedTimer>
#include <QProcess>
#include <QRegularExpression>
#include <QTcpSocket>
#include <QtEndian>
#include <QtTest>

#include <functional>
#include <signal.h>

namespace kxsimtest {

constexpr int kWaitMs = 10000;

// Where a device frame that starts at `from` ends, or -1 while incomplete.
inline int deviceFrameEnd(const QByteArray& data, int from)
{
    if (data.size() - from < 6 || data.at(from) != 0x02)
        return -1;
    const char protocol = data.at(from + 1);
    if (protocol == 0x01) {
        const int terminator = int(data.indexOf(QByteArray(";\x03", 2), from + 6));
        return terminator < 0 ? -1 : terminator + 2;
    }
    const qint64 end = from + 6 + qint64(qFromLittleEndian<quint32>(data.constData() + from + 2));
    return end <= data.size() ? int(end) : -1;
}

// kxsim run as a child process, with the endpoints it printed.
class SimProcess
{
public:
    ~SimProcess() { stop(); }

    // Starts kxsim and waits for its endpoint lines (serial too when
    // `serial`). False when it exits or does not print them in time.
    bool start(const QStringList& args, bool serial = false)
    {
        QObject::connect(&m_process, &QProcess::readyReadStandardOutput, [this] { readLines(); });
        m_process.start(QStringLiteral(KXSIM_PATH), args);
        if (!m_process.waitForStarted(kWaitMs))
            return false;
        return QTest::qWaitFor(
                   [&] {
                       return m_process.state() != QProcess::Running ||
                              (dataPort && logPort && (!serial || !serialPaths.isEmpty()));
                   },
                   kWaitMs) &&
               m_process.state() == QProcess::Running;
    }

    // Sends a signal; true when kxsim then exits normally with code 0.
    bool exitsOn(int signalNumber)
    {
        ::kill(pid_t(m_process.processId()), signalNumber);
        return m_process.waitForFinished(kWaitMs) &&
               m_process.exitStatus() == QProcess::NormalExit && m_process.exitCode() == 0;
    }

    void stop()
    {
        if (m_process.state() == QProcess::NotRunning)
            return;
        m_process.terminate();
        if (!m_process.waitForFinished(kWaitMs))
            m_process.kill();
        m_process.waitForFinished(kWaitMs);
    }

    QString errors() { return QString::fromLocal8Bit(m_process.readAllStandardError()); }
    QProcess& process() { return m_process; }

    quint16 dataPort = 0;
    quint16 logPort = 0;
    QStringList serialPaths; // each new pseudo-terminal, in order
    QStringList lines;

private:
    void readLines()
    {
        static const QRegularExpression tcp(
            QStringLiteral("^kxsim: (data|log) tcp 127\\.0\\.0\\.1:(\\d+)$"));
        static const QRegularExpression serial(QStringLiteral("^kxsim: serial (/\\S+)$"));
        while (m_process.canReadLine()) {
            const QString line = QString::fromLocal8Bit(m_process.readLine()).trimmed();
            lines.append(line);
            const QRegularExpressionMatch tcpMatch = tcp.match(line);
            if (tcpMatch.hasMatch()) {
                const quint16 port = quint16(tcpMatch.captured(2).toUInt());
                (tcpMatch.captured(1) == QLatin1String("data") ? dataPort : logPort) = port;
            }
            const QRegularExpressionMatch serialMatch = serial.match(line);
            if (serialMatch.hasMatch())
                serialPaths.append(serialMatch.captured(1));
        }
    }

    QProcess m_process;
};

// A TCP client that keeps every byte it receives and each read's size.
class SimClient
{
public:
    SimClient()
    {
        QObject::connect(&socket, &QTcpSocket::readyRead, [this] {
            const QByteArray chunk = socket.readAll();
            received += chunk;
            chunkSizes.append(int(chunk.size()));
        });
    }

    bool connectTo(quint16 port)
    {
        socket.connectToHost(QHostAddress::LocalHost, port);
        socket.setSocketOption(QAbstractSocket::LowDelayOption, 1);
        return socket.waitForConnected(kWaitMs);
    }

    void send(const QByteArray& bytes)
    {
        socket.write(bytes);
        socket.flush();
    }

    // One byte per write, each pushed out before the next.
    void sendByteByByte(const QByteArray& bytes)
    {
        for (char byte : bytes) {
            socket.write(&byte, 1);
            socket.waitForBytesWritten(kWaitMs);
        }
    }

    bool waitFor(const std::function<bool()>& condition, int ms = kWaitMs)
    {
        return QTest::qWaitFor(condition, ms);
    }

    // The first device frame, with the bytes before it dropped; empty when
    // none completes in time.
    QByteArray takeFrame(int ms = kWaitMs)
    {
        int start = -1;
        int end = -1;
        waitFor(
            [&] {
                start = int(received.indexOf('\x02'));
                end = start < 0 ? -1 : deviceFrameEnd(received, start);
                return end > 0;
            },
            ms);
        if (end < 0)
            return QByteArray();
        const QByteArray frame = received.mid(start, end - start);
        received.remove(0, end);
        return frame;
    }

    // Everything before the reply to `marker` (a trigger that is always
    // answered at once); that reply is dropped too. Lets a test see that
    // nothing else came, without waiting for silence.
    QByteArray takeUntilReplyTo(const QByteArray& marker, int ms = kWaitMs)
    {
        const QByteArray header = QByteArray("\x02\x01"
                                             "0000@",
                                             7) +
                                  marker;
        int start = -1;
        int end = -1;
        waitFor(
            [&] {
                start = int(received.indexOf(header));
                end = start < 0 ? -1 : deviceFrameEnd(received, start);
                return end > 0;
            },
            ms);
        if (end < 0)
            return QByteArray("(no reply to the marker)");
        const QByteArray before = received.left(start);
        received.remove(0, end);
        return before;
    }

    bool waitForDisconnect(int ms = kWaitMs)
    {
        return waitFor([&] { return socket.state() == QAbstractSocket::UnconnectedState; }, ms);
    }

    QTcpSocket socket;
    QByteArray received;
    QList<int> chunkSizes;
};

} // namespace kxsimtest

#endif // KXSIMPEERS_H
