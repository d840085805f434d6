#ifndef KXSIMSERIALENDPOINT_H
#define KXSIMSERIALENDPOINT_H

#include "KXSimEndpoint.h"

class KXSimDevice;
class KXSimSession;

// The device on a pseudo-terminal: the host opens the slave as a serial port
// (through the driver library, e.g. as KXDS_EXTRA_PORTS or KXDS_EXTRA_USB)
// and one session serves the master side. Optionally a symlink at a fixed
// path names the slave, and is removed again on exit. Hanging up (a close
// trigger) drops the pseudo-terminal and makes a new one; the symlink then
// moves to the new slave.
class KXSimSerialEndpoint : public KXSimEndpoint
{
    Q_OBJECT

public:
    // An empty `linkPath` makes no symlink.
    KXSimSerialEndpoint(KXSimDevice& device, const QString& linkPath, QObject* parent = nullptr);
    ~KXSimSerialEndpoint() override;

    bool start(QString& error) override;
    QString description() const override;

private:
    bool openTerminal(QString& error);
    void closeTerminal();
    bool placeSymlink(QString& error);
    void removeSymlink();
    void hangUp();

    KXSimDevice& m_device;
    QString m_linkPath;
    QString m_slavePath;
    int m_slave = -1; // held open so the master never sees a hang-up
    KXSimSession* m_session = nullptr;
};

#endif // KXSIMSERIALENDPOINT_H
