// Firmware operations of the connector: checking a file against the device,
// running the update, its progress, and the transport's frame size.

#include "KXDataStream.h"
#include "KXDataStreamMaker.h"
#include "KXDataStreamParser.h"
#include "KXUpgrade/IfpPackageHandler.h"
#include "connector/KXConnectorLog.h"
#include "connector/KXDeviceConnector.h"
#include "transport/KXNetworkAdaptor.h"

namespace {

constexpr int QueryTimeout = 60000;
// How long an update waits for the run loop to end before it takes the link.
constexpr int StopWaitMs = 200;

} // namespace

// One query of the check: the command's acknowledged value, or a check code
// (600 to 603) for a query that failed.
int KXDeviceConnector::firmwareQuery(const QString& name, const QByteArray& parameters,
                                     QByteArray& value)
{
    value.clear();
    KXDataStreamMaker maker(DataProtocol7E01);
    maker.addCmd(name, parameters);
    QByteArray reply;
    switch (sendBinaryMessage(maker.toByteArray(true), reply, QueryTimeout)) {
    case ErrorNone:
        break;
    case ErrorWrite:
        return CheckWriteFailed;
    case -21: // no send path of ours ends so; a driver's code passed on
        return CheckWriteIncomplete;
    case ErrorBadCommand:
        return CheckBadReply;
    default:
        return CheckQueryFailed;
    }
    const KXDataStreamParser parser(reply, DataTypeResponse);
    if (!parser.isValid())
        return CheckBadReply;
    KXGetDataStreamValue(parser.getTagMap(true), name, value);
    return CheckOk;
}

int KXDeviceConnector::checkUpdateFirmwareInfo(const QString& fileName)
{
    QByteArray qrysys, basqsy, ifpchk;
    const int scanner = firmwareQuery(QStringLiteral("QRYSYS"), QByteArray(), qrysys);
    const int base = firmwareQuery(QStringLiteral("BASQSY"), QByteArray(), basqsy);
    if (scanner != CheckOk && base != CheckOk)
        return scanner;
    firmwareQuery(QStringLiteral("IFPCHK"), QByteArray(), ifpchk);

    IfpPackageHandler* handler = IfpPackageHandler::instance();
    if (!handler->isIfp(fileName))
        return ifpchk.isEmpty() ? CheckOk : CheckExpectsPackage;
    if (!handler->isPrepared(fileName) && !handler->prepare(fileName))
        return CheckPrepareFailed;
    int code = CheckOk;
    if (!handler->checkUpgrade(qrysys, basqsy, ifpchk, code)) {
        handler->cleanup();
        return code;
    }

    // USB and serial links take blocks of the size the device asks for.
    if (m_transport && !qobject_cast<KXNetworkAdaptor*>(m_transport)) {
        QByteArray buffer;
        const int status = firmwareQuery(QStringLiteral("BUFQRY"), QByteArrayLiteral("*"), buffer);
        if (status == CheckBadReply)
            return status;
        if (status == CheckOk && !buffer.isEmpty()) {
            const int size = buffer.trimmed().toInt();
            m_transport->setFrameSize(size > 0 ? size : IDataStreamReadWrite::DefaultFrameSize);
        }
    }
    if (!ifpchk.isEmpty()) {
        QByteArray ignored;
        firmwareQuery(QStringLiteral("IFPCFG"), handler->configHex(), ignored);
    }
    return CheckOk;
}

bool KXDeviceConnector::updateFirmwareFile(const QString& fileName, int type, uint* error)
{
    if (!m_transport || m_updating.exchange(true))
        return false;
    // The download owns the link from here; the run loop stays stopped until
    // the link is opened again.
    discardAllMessages();
    {
        QMutexLocker locker(&m_queueMutex);
        m_queue.clear();
        m_running = false;
        m_queueChanged.wakeAll();
    }
    if (QThread::isRunning())
        wait(StopWaitMs);

    m_firmwareProgress.clear();
    qCDebug(lcConnector) << "KXDeviceConnector::updateFirmwareFile..." << fileName;
    IfpPackageHandler* handler = IfpPackageHandler::instance();
    const bool ok =
        handler->isIfp(fileName)
            ? handler->upgrade(this, fileName, &m_firmwareProgress)
            : m_transport->update_firmware_file(fileName, &m_firmwareProgress, type, error);
    m_updating = false;
    return ok;
}

bool KXDeviceConnector::getUpdateFirmwareState(int* part, int* partState, int* stage,
                                               int* stageValue) const
{
    if (!m_updating)
        return false;
    const KXFirmwareProgress& progress = m_firmwareProgress;
    const int currentPart = int(progress.word(KXFirmwareProgress::Part));
    const int currentStage = int(progress.word(KXFirmwareProgress::Stage));
    const int stateOffset = KXFirmwareProgress::PartStates + currentPart;
    if (part)
        *part = currentPart;
    if (partState)
        *partState = currentPart >= 0 && stateOffset < int(sizeof(KXFirmwareProgress))
                         ? progress.byte(stateOffset)
                         : 0;
    if (stage)
        *stage = currentStage;
    if (stageValue)
        *stageValue =
            currentStage >= 0 && currentStage < 4 ? int(progress.word(currentStage)) * 10 : 0;
    return true;
}

int KXDeviceConnector::getFrameSize() const
{
    return m_transport ? m_transport->frameSize() : IDataStreamReadWrite::DefaultFrameSize;
}

void KXDeviceConnector::setFrameSize(int size)
{
    if (m_transport)
        m_transport->setFrameSize(size);
}
