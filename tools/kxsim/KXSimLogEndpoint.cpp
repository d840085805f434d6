#include "KXSimLogEndpoint.h"

#include "KXSimLogSession.h"

QString KXSimLogEndpoint::role() const
{
    return QStringLiteral("log");
}

void KXSimLogEndpoint::startSession(KXSimLink* link)
{
    auto* session = new KXSimLogSession(m_device, link, this);
    connect(session, &KXSimLogSession::finished, session, &QObject::deleteLater);
}
