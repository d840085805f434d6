#ifndef KXSIMLOGENDPOINT_H
#define KXSIMLOGENDPOINT_H

#include "KXSimTcpEndpoint.h"

// The log port: a TCP listener whose connections get log sessions.
class KXSimLogEndpoint : public KXSimTcpEndpoint
{
    Q_OBJECT

public:
    using KXSimTcpEndpoint::KXSimTcpEndpoint;

protected:
    QString role() const override;
    void startSession(KXSimLink* link) override;
};

#endif // KXSIMLOGENDPOINT_H
