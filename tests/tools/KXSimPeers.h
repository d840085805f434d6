#ifndef KXSIMPEERS_H
#define KXSIMPEERS_H

// Test peers of kxsim: the simulator as a child process, a plain TCP client
// that collects what the simulator sends, and (where the test knows where
// kxctl is) kxctl as a child process.

#include "offline/KXOffLineEngine.h"

#include <KXDataStream.h>

#include <QDir>
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
// Always answered at once and changes nothing: marks the end of what came
// before it.
const QByteArray kMarker("SIMGAP*");

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
    QByteArray frame = hexThen("02", "") + char(protocol) + QByteArray(4, '\0');
    qToLittleEndian<quint32>(quint32(payload.size()), frame.data() + 2);
    return frame + payload;
}

// kxsim run as a child process, with the endpoints it printed.
class SimProcess
{
public:
    ~SimProcess() { stop(); }

    // Starts kxsim and waits for its endpoint lines (serial too when
    // `serial`). False, with what it said as a warning, when it exits or
    // does not print them in time.
    bool start(const QStringList& args, bool serial = false)
    {
        QObject::connect(&m_process, &QProcess::readyReadStandardOutput, [this] { readLines(); });
        const QStringList command = wrapper + QStringList(QStringLiteral(KXSIM_PATH)) + args;
        m_process.start(command.first(), command.mid(1));
        const auto running = [&] { return m_process.state() == QProcess::Running; };
        const auto ready = [&] {
            return dataPort && logPort && (!serial || !serialPaths.isEmpty());
        };
        if (m_process.waitForStarted(kWaitMs) &&
            QTest::qWaitFor([&] { return !running() || ready(); }, kWaitMs) && running())
            return true;
        qWarning() << "kxsim did not start:" << lines << errors();
        return false;
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
        m_process.terminate();
        if (!m_process.waitForFinished(kWaitMs))
            m_process.kill();
        m_process.waitForFinished(kWaitMs);
    }

    QString errors() { return QString::fromLocal8Bit(m_process.readAllStandardError()); }
    QProcess& process() { return m_process; }

    // CPU time kxsim has used, user and system, in seconds: the 12th and
    // 13th fields after the name in stat.
    double cpuSeconds() const
    {
        const QByteArray stat = readProc("stat");
        const QList<QByteArray> fields = stat.mid(stat.lastIndexOf(')') + 2).split(' ');
        return (fields.value(11).toDouble() + fields.value(12).toDouble()) /
               double(::sysconf(_SC_CLK_TCK));
    }

    // Resident memory in KiB, and bytes read from any descriptor (sockets
    // included).
    qint64 rssKiB() const { return procField("status", "VmRSS"); }
    qint64 bytesRead() const { return procField("io", "rchar"); }

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

    // The number in the "`label`: number" line of a /proc file; -1 if none.
    qint64 procField(const char* name, const char* label) const
    {
        const QRegularExpression line(QStringLiteral("^%1:\\s+(\\d+)").arg(label),
                                      QRegularExpression::MultilineOption);
        const QRegularExpressionMatch match = line.match(QString::fromLatin1(readProc(name)));
        return match.hasMatch() ? match.captured(1).toLongLong() : -1;
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

    bool waitFor(const std::function<bool()>& condition, int ms = kWaitMs)
    {
        return QTest::qWaitFor(condition, ms);
    }

    // The first whole device frame, with the bytes before it dropped; empty
    // when none completes in time.
    QByteArray takeFrame() { return take(QByteArray(1, '\x02'), false); }

    // Sends command text and takes the first device frame that comes back.
    QByteArray exchange(int protocol, const QByteArray& text)
    {
        send(hostFrame(protocol, text));
        return takeFrame();
    }

    // Sends `bytes` and then kMarker; everything that came before the
    // marker's reply, which is dropped too. Lets a test see that nothing
    // else came, without waiting for silence.
    QByteArray sendMarked(const QByteArray& bytes = {})
    {
        send(bytes + hostFrame(1, kMarker));
        return take(hexThen("0201", "0000@") + kMarker.left(6), true);
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

    bool waitForDisconnect()
    {
        return waitFor([&] { return socket.state() == QAbstractSocket::UnconnectedState; });
    }

    QTcpSocket socket;
    QByteArray received;

private:
    // The device frame that starts with `header`, or with `before` what came
    // before it instead.
    QByteArray take(const QByteArray& header, bool before)
    {
        int start = -1;
        qint64 end = -1;
        waitFor([&] {
            start = int(received.indexOf(header));
            if (start < 0 || received.size() - start < 6)
                return false;
            if (received.at(start + 1) == 0x01) { // up to its terminator
                end = received.indexOf(QByteArray(";\x03", 2), start + 6);
                end = end < 0 ? -1 : end + 2;
            } else { // by its length
                end = start + 6 + qFromLittleEndian<quint32>(received.constData() + start + 2);
                end = end <= received.size() ? end : -1;
            }
            return end > 0;
        });
        if (end < 0)
            return before ? QByteArray("(no reply to the marker)") : QByteArray();
        const QByteArray taken =
            before ? received.left(start) : received.mid(start, int(end) - start);
        received.remove(0, int(end));
        return taken;
    }
};

#ifdef KXCTL_PATH
// kxctl's own runs end well within this, scans and downloads included.
constexpr int kRunMs = 30000;

QStringList linesOf(const QString& text)
{
    return text.split(QLatin1Char('\n'), Qt::SkipEmptyParts);
}

// kxctl as a child process whose output is watched as it comes.
class Kxctl
{
public:
    explicit Kxctl(const QStringList& args)
    {
        QObject::connect(&process, &QProcess::readyReadStandardOutput, [this] {
            out += QString::fromLocal8Bit(process.readAllStandardOutput());
        });
        process.start(QStringLiteral(KXCTL_PATH), args);
    }

    // The lines printed, once there are `count` of them or kxctl has ended.
    // The caller compares them; a short list tells what was missing.
    QStringList lines(int count)
    {
        (void)QTest::qWaitFor([&] { return out.count('\n') >= count || !running(); }, kRunMs);
        return linesOf(out);
    }

    // The exit code, after sending `signalNumber` first unless it is 0; -1
    // for anything but a normal exit in time.
    int finished(int signalNumber = 0)
    {
        if (signalNumber != 0)
            ::kill(pid_t(process.processId()), signalNumber);
        (void)QTest::qWaitFor([&] { return !running(); }, kRunMs);
        out += QString::fromLocal8Bit(process.readAllStandardOutput());
        return running() || process.exitStatus() != QProcess::NormalExit ? -1 : process.exitCode();
    }

    bool running() const { return process.state() != QProcess::NotRunning; }
    QString errors() { return QString::fromLocal8Bit(process.readAllStandardError()); }

    QProcess process; // killed, if still running, when it goes
    QString out;
};
#endif // KXCTL_PATH

} // namespace kxsimtest

#endif // KXSIMPEERS_H
