#include "KXBlockDownload.h"

#include "transport/IDataStreamReadWrite.h"

#include <QElapsedTimer>
#include <QFile>

static_assert(KXFirmwareProgress::Words == KXBootDialogue::ProgressWords &&
                  KXFirmwareProgress::Stage == KXBootDialogue::StageWord &&
                  KXFirmwareProgress::Part == KXBootDialogue::PartWord &&
                  KXFirmwareProgress::PartStates == KXBootDialogue::PartStatesByte,
              "one progress record layout");

KXBlockDownload::KXBlockDownload(Variant variant) : m_variant(variant) {}

void KXBlockDownload::setup(const QString& file, IDataStreamReadWrite* transport,
                            KXFirmwareProgress* progress, int blockSize)
{
    m_file = file;
    m_transport = transport;
    m_progress = progress ? progress : &m_ownProgress;
    m_blockSize = blockSize;
}

bool KXBlockDownload::run()
{
    if (!m_transport || !m_progress)
        return false;
    QFile file(m_file);
    if (!file.open(QIODevice::ReadOnly))
        return false;
    const QByteArray data = file.readAll();

    IDataStreamReadWrite* transport = m_transport;
    KXFirmwareProgress* progress = m_progress;
    QElapsedTimer clock;
    clock.start();
    KXBootDialogueIo io;
    io.write = [transport](const uint8_t* bytes, size_t size) {
        return transport->write(QByteArray(reinterpret_cast<const char*>(bytes), int(size)));
    };
    io.read = [transport](uint8_t* buffer, size_t size, uint32_t ms) {
        return size_t(transport->read_data(buffer, int(size), ms));
    };
    io.discardInput = [transport] { transport->clean(0); };
    io.nowMs = [&clock] { return int64_t(clock.elapsed()); };
    io.word = [progress](int index) { return progress->word(index); };
    io.setWord = [progress](int index, uint32_t value) { progress->setWord(index, value); };
    io.setByte = [progress](int offset, uint8_t value) { progress->setByte(offset, value); };

    KXBootDialogue dialogue(m_variant, std::move(io));
    return dialogue.run(reinterpret_cast<const uint8_t*>(data.constData()), size_t(data.size()),
                        m_blockSize) == KXBootDialogue::Result::Written;
}
