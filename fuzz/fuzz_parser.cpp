// KXDataStreamParser on arbitrary bytes: as a framed command or reply (both
// data types) and as bare command text under protocol 1 and protocol 7.

#include "KXFuzz.h"

#include <KXDataStream.h>

#include "datastream/KXDataStreamInternal.h"

namespace {

void checkMnemonics(const QStringList& cmds)
{
    // Tag and sub-tag are three letters each, or absent for special items.
    for (const QString& cmd : cmds)
        KX_FUZZ_CHECK(cmd.size() == 0 || cmd.size() == 3 || cmd.size() == 6);
}

void exerciseGetters(KXDataStreamParser& parser)
{
    const QStringList cmds = parser.getAllCmds();
    checkMnemonics(cmds);

    const QMap<QString, QByteArray> all = parser.getTagMap(false);
    const QMap<QString, QByteArray> acked = parser.getTagMap(true);
    for (auto it = acked.cbegin(); it != acked.cend(); ++it) {
        KX_FUZZ_CHECK(it.key().size() == 6);
        KX_FUZZ_CHECK(all.contains(it.key()));
    }
    for (auto it = all.cbegin(); it != all.cend(); ++it)
        KX_FUZZ_CHECK(!it.value().isEmpty());

    const QList<QPair<QString, QByteArray>> pairs = parser.getSubTagDatas(QString());
    KX_FUZZ_CHECK(pairs.size() == cmds.size());
    for (int i = 0; i < pairs.size(); ++i)
        KX_FUZZ_CHECK(pairs.at(i).first == cmds.at(i));
    if (!pairs.isEmpty() && pairs.first().first.size() >= 3)
        parser.getSubTagDatas(pairs.first().first.left(3));

    QString specialCmd;
    QByteArray specialParams;
    KXDataStreamParser::hasSpecialCmd(pairs, specialCmd, specialParams);

    for (const QString& cmd : cmds) {
        _tagDataStreamSubTag sub;
        if (cmd.size() == 6) {
            KX_FUZZ_CHECK(parser.getSubTagData(cmd, sub));
            // Look-ups drop one leading '@' or '#', so such tags are not found.
            if (!cmd.startsWith(QLatin1Char('@')) && !cmd.startsWith(QLatin1Char('#')))
                KX_FUZZ_CHECK(parser.exists(cmd));
        }
    }

    const QByteArray frame = parser.toByteArray(true);
    const QByteArray hashFrame = parser.toByteArray(false);
    const QByteArray raw = parser.toRawData();
    KX_FUZZ_CHECK(raw.isEmpty() || raw.endsWith(';'));
    // What we write out must read back without trouble.
    const KXDataStreamParser reread(frame, DataTypeCommand);
    reread.getAllCmds();
    KXDataStreamParser(hashFrame).getTagMap(true);

    QList<QString> failed;
    const bool allAcked = parser.checkAllCmdAck(failed);
    KX_FUZZ_CHECK(allAcked == failed.isEmpty() || parser.getDataType() == DataTypeCommand ||
                  !parser.isValid());
    if (parser.getDataType() == DataTypeCommand)
        KX_FUZZ_CHECK(allAcked && failed.isEmpty());

    // Editing an existing sub-tag must succeed and show in the map.
    if (!acked.isEmpty()) {
        const QString cmd = acked.firstKey();
        const QByteArray data("1\x06", 2);
        KX_FUZZ_CHECK(parser.setSubTagData(QLatin1Char('@') + cmd, data));
        parser.toByteArray(true);
    }
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    kxFuzzQuietLogging();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const QByteArray input = kxFuzzBytes(data, size);
    const EDataProtocol detected = detectDataProtocol(input);

    for (const EDataType type : {DataTypeCommand, DataTypeResponse}) {
        KXDataStreamParser parser(input, type);
        KX_FUZZ_CHECK(parser.getDataType() == type);
        KX_FUZZ_CHECK(parser.getProtocol() == detected);
        if (detected == DataProtocolNone)
            KX_FUZZ_CHECK(!parser.isValid());
        KX_FUZZ_CHECK(parser.isValid() == !parser.getTagList().isEmpty());
        exerciseGetters(parser);

        // The same bytes as bare text, on a parser that already holds a frame.
        KXDataStreamParser text(parser);
        if (text.setDataWithoutHeader(input, DataProtocol7E01)) {
            KX_FUZZ_CHECK(text.isValid());
            KX_FUZZ_CHECK(text.getProtocol() == DataProtocol7E01);
        }
        exerciseGetters(text);
        if (text.setDataWithoutHeader(input, DataProtocol7E07))
            KX_FUZZ_CHECK(text.isValid());
        exerciseGetters(text);
    }

    // Bare text under the stored protocol of a length-prefixed frame.
    KXDataStreamParser fresh;
    if (fresh.setDataWithoutHeader(input, DataProtocol7E09))
        KX_FUZZ_CHECK(fresh.getProtocol() == DataProtocolNone);
    exerciseGetters(fresh);
    return 0;
}
