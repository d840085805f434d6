#ifndef KXSIMPEERS_H
#define KXSIMPEERS_H

// Test peers of kxsim: the simulator as a child process, and a plain TCP
// client that collects what the simulator sends.

#include "offline/KXOffLineEngine.h"

#include <KXDataStream.h>

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QRegularExpression>
#include <QTcpSocket>
#include <QtEndian>
#include <QtTest>

#include <functional>
#include <signal.h>
#include <unistd.h>

namespace kxsimtest {

constexpr int kWaitMs = 10000;

// Bytes given in hexadecimal, then text: hexThen("0201", "0000@") is 0x02 0x01
// "0000@".
inline QByteArray hexThen(const char* hex, const char* text)
{
    return QByteArray::fromHex(hex) + text;
}

// A command frame, or with a leading '#' a frame without reply prefix.
inline QByteArray hostFrame(int protocol, const QByteArray& text)
{
    return KXMakeDataStreamCmd(text.startsWith('#') ? text : '@' + text, EDataProtocol(protocol),
                               true);
}

// A device frame carrying `text`: protocol 1 as the offline engine frames it,
// 7 (reply) and 8 (message) with the payload length.
inline QByteArray deviceFrame(int protocol, const QByteArray& text)
{
    if (protocol == 1)
        return KXOffLineEngine::deviceFrame(text);
    const QByteArray payload = '@' + text + ";\x03";
    QByteArray frame(6, char(protocol));
    frame[0] = 0x02;
    qToLittleEndian<quint32>(quint32(payload.size()), frame.data() + 2);
    return frame + payload;
}

// Where a device frame that starts at `from` ends, or -1 while incomplete.
inline int deviceFrameEnd(const QByteArray& data, int from)
{
    if (from < 0 || data.size() - from < 6 || data.at(from) != 0x02)
        return -1;
    if (data.at(from + 1) == 0x01) {
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
        const QStringList command = wrapper + QStringList(QStringLiteral(KXSIM_PATH)) + args;
        m_process.start(command.first(), command.mid(1));
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

    // CPU time kxsim has used, user and system, in seconds.
    double cpuSeconds() const
    {
        // utime and stime are the 12th and 13th fields after the name.
        const QByteArray stat = readProc("stat");
        const QList<QByteArray> fields = stat.mid(stat.lastIndexOf(')') + 2).split(' ');
        return fields.size() < 13 ? -1.0
                                  : (fields.at(11).toDouble() + fields.at(12).toDouble()) /
                                        double(::sysconf(_SC_CLK_TCK));
    }

    // Resident memory in KiB (VmRSS).
    qint64 rssKiB() const { return procField("status", "VmRSS:"); }
    // Bytes kxsim has read from any descriptor, sockets included (rchar).
    qint64 bytesRead() const { return procField("io", "rchar:"); }

    int openFiles() const
    {
        return int(QDir(QStringLiteral("/proc/%1/fd").arg(m_process.processId()), QString(),
                        QDir::NoSort, QDir::AllEntries | QDir::System | QDir::NoDotAndDotDot)
                       .count());
    }

    // Runs kxsim through this command, such as {"prlimit", "--nofile=32"}.
    QStringList wrapper;
    quint16 dataPort = 0;
    quint16 logPort = 0;
    QStringList serialPaths; // each new pseudo-terminal, in order
    QStringList lines;

private:
    QByteArray readProc(const char* name) const
    {
        QFile file(QStringLiteral("/proc/%1/%2").arg(m_process.processId()).arg(name));
        return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
    }

    // The number after `label` in a /proc file of "label value" lines.
    qint64 procField(const char* name, const QByteArray& label) const
    {
        for (const QByteArray& line : readProc(name).split('\n')) {
            if (line.startsWith(label))
                return line.mid(label.size()).simplified().split(' ').first().toLongLong();
        }
        return -1;
    }

    void readLines()
    {
        static const QRegularExpression endpoint(
            QStringLiteral("^kxsim: (data|log|serial) (?:tcp [\\d.]+:(\\d+)|(/\\S+))$"));
        while (m_process.canReadLine()) {
            lines.append(QString::fromLocal8Bit(m_process.readLine()).trimmed());
            const QRegularExpressionMatch match = endpoint.match(lines.last());
            if (!match.captured(3).isEmpty())
                serialPaths.append(match.captured(3));
            else if (match.hasMatch())
                (match.captured(1) == QLatin1String("data") ? dataPort : logPort) =
                    quint16(match.captured(2).toUInt());
        }
    }

    QProcess m_process;
};

// A TCP client that keeps every byte it receives.
class SimClient
{
public:
    SimClient()
    {
        QObject::connect(&socket, &QTcpSocket::readyRead, [this] { received += socket.readAll(); });
    }

    bool connectTo(quint16 port, const QHostAddress& host = QHostAddress::LocalHost)
    {
        socket.connectToHost(host, port);
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
    QByteArray takeFrame(int ms = kWaitMs) { return take(QByteArray(1, '\x02'), false, ms); }

    // Sends command text and takes the first device frame that comes back.
    QByteArray exchange(int protocol, const QByteArray& text)
    {
        send(hostFrame(protocol, text));
        return takeFrame();
    }

    // Everything before the reply to `marker` (a trigger that is always
    // answered at once); that reply is dropped too. Lets a test see that
    // nothing else came, without waiting for silence.
    QByteArray takeUntilReplyTo(const QByteArray& marker, int ms = kWaitMs)
    {
        return take(hexThen("0201", "0000@") + marker, true, ms);
    }

    // Sends the log query as the kit writes it; the log that the reply
    // carries, or a note on what went wrong.
    QByteArray queryLog()
    {
        received.clear();
        send(hexThen("7E01", "0000@LOGQRY;\x03"));
        if (!waitFor([&] { return received.size() >= 21; }) ||
            !received.startsWith(hexThen("0201", "0000@LOGQRY")))
            return "(no log header)";
        const int length = received.mid(13, 8).toInt(nullptr, 16);
        waitFor([&] { return received.size() >= 21 + length; });
        return received.size() == 21 + length ? received.mid(21) : "(not the announced length)";
    }

    bool waitForDisconnect(int ms = kWaitMs)
    {
        return waitFor([&] { return socket.state() == QAbstractSocket::UnconnectedState; }, ms);
    }

    QTcpSocket socket;
    QByteArray received;

private:
    // The frame that starts with `header`, and with `before` what came
    // before it instead.
    QByteArray take(const QByteArray& header, bool before, int ms)
    {
        int start = -1;
        int end = -1;
        waitFor(
            [&] {
                start = int(received.indexOf(header));
                end = deviceFrameEnd(received, start);
                return end > 0;
            },
            ms);
        if (end < 0)
            return before ? QByteArray("(no reply to the marker)") : QByteArray();
        const QByteArray taken = before ? received.left(start) : received.mid(start, end - start);
        received.remove(0, end);
        return taken;
    }
};

} // namespace kxsimtest

#endif // KXSIMPEERS_H
