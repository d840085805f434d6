#ifndef KXSIMSIGNALWATCHER_H
#define KXSIMSIGNALWATCHER_H

#include <QObject>

class QSocketNotifier;

// Brings SIGINT and SIGTERM into the event loop: the handler only writes a
// byte to a pipe, whose read end a socket notifier watches.
class KXSimSignalWatcher : public QObject
{
    Q_OBJECT

public:
    explicit KXSimSignalWatcher(QObject* parent = nullptr);
    ~KXSimSignalWatcher() override;

    // Installs the handlers; false with a reason. One watcher per process.
    bool install(QString& error);

signals:
    void terminationRequested(int signalNumber);

private:
    static void handleSignal(int signalNumber);
    void readSignals();

    static int s_pipe[2];
    QSocketNotifier* m_notifier = nullptr;
};

#endif // KXSIMSIGNALWATCHER_H
