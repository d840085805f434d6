#ifndef KXBENCHSIM_H
#define KXBENCHSIM_H

// kxsim as a child process serving the sample device on free loopback ports,
// for the connector benchmarks.

#include <QProcess>
#include <QRegularExpression>

class KXBenchSim
{
public:
    ~KXBenchSim() { stop(); }

    // Starts kxsim with `extraArgs` and reads its endpoint lines; false when
    // it does not print its data port within `waitMs`.
    bool start(int waitMs = 10000, const QStringList& extraArgs = {})
    {
        static const QRegularExpression dataLine(
            QStringLiteral("^kxsim: data tcp 127\\.0\\.0\\.1:(\\d+)$"));
        m_process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        m_process.start(QStringLiteral(KXSIM_PATH),
                        QStringList{QStringLiteral("--port"), QStringLiteral("0"),
                                    QStringLiteral("--log-port"), QStringLiteral("0")} +
                            extraArgs);
        if (!m_process.waitForStarted(waitMs))
            return false;
        while (dataPort == 0) {
            if (!m_process.canReadLine() && !m_process.waitForReadyRead(waitMs))
                return false;
            while (m_process.canReadLine()) {
                const QString line = QString::fromLocal8Bit(m_process.readLine()).trimmed();
                const QRegularExpressionMatch match = dataLine.match(line);
                if (match.hasMatch())
                    dataPort = quint16(match.captured(1).toUInt());
            }
        }
        return true;
    }

    void stop()
    {
        if (m_process.state() == QProcess::NotRunning)
            return;
        m_process.terminate();
        if (!m_process.waitForFinished(5000))
            m_process.kill();
        m_process.waitForFinished(5000);
    }

    quint16 dataPort = 0;

private:
    QProcess m_process;
};

#endif // KXBENCHSIM_H
