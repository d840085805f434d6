#ifndef KXDATASTREAMPARSER_H
#define KXDATASTREAMPARSER_H

#include "KXDataStreamTypes.h"

#include <QMap>
#include <QStringList>
#include <QVarLengthArray>

// Takes a framed data-stream command or reply apart into a tag list, lets the
// caller read and edit sub-tag data, and writes the list back out as a frame.
// A plain value type without I/O; each thread uses its own instances.
class KXDEVICEKIT_EXPORT KXDataStreamParser
{
public:
    // Empty parser: response type, no protocol, not valid.
    KXDataStreamParser();
    // Recognises the envelope of `data` and parses it. Unrecognised frames
    // leave the parser not valid, with protocol -1 and no stored data.
    explicit KXDataStreamParser(const QByteArray& data, EDataType type = DataTypeResponse);

    // Parses bare command text (no header, prefix or terminator). Protocol 1
    // splits commands at ';' and selects protocol 1; any other value takes the
    // whole text as one command under the protocol already stored. Returns
    // the new valid flag, or false without touching it when no command is
    // left.
    bool setDataWithoutHeader(const QByteArray& text, EDataProtocol protocol = DataProtocol7E01);

    bool isValid() const { return m_valid; }
    EDataProtocol getProtocol() const { return m_protocol; }
    EDataType getDataType() const { return m_dataType; }
    const DataStreamTagList& getTagList() const { return m_tagList; }

    // Six-letter mnemonics, one per sub-tag, in tag-list order.
    QStringList getAllCmds() const;
    // Mnemonic to data. With ackOnly, only sub-tags whose data ends in ACK,
    // mapped to their data without that byte.
    QMap<QString, QByteArray> getTagMap(bool ackOnly) const;
    // Sub-tags of the first entry with this three-letter tag.
    bool getSubTags(const QString& tag, QList<_tagDataStreamSubTag>& out) const;
    bool getSubTagData(const QString& tag, const QString& subTag, _tagDataStreamSubTag& out) const;
    // `cmd` is a six-letter mnemonic.
    bool getSubTagData(const QString& cmd, _tagDataStreamSubTag& out) const;
    // Pairs (mnemonic, data) of the entries with this tag; all when empty.
    QList<QPair<QString, QByteArray>> getSubTagDatas(const QString& tag) const;

    // Replaces the data of an existing sub-tag; never adds one. `cmd` may
    // carry a leading '@' or '#'.
    bool setSubTagData(const QString& cmd, const QByteArray& data);
    // setSubTagData for each pair in key order; stops at the first failure.
    bool setSubTagDatas(const QMap<QString, QByteArray>& map);

    bool exists(const QString& tag, const QString& subTag = QString()) const;
    // Appends to the entry of `tag`, or adds the entry. Always true.
    bool addSubTags(const QString& tag, const QList<_tagDataStreamSubTag>& subTags);

    // The tag list as a framed command in the stored envelope, prefixed with
    // '@' when `at` is true and '#' otherwise.
    QByteArray toByteArray(bool at = true) const;
    // The tag list as bare text: no prefix, no envelope.
    QByteArray toRawData() const;

    // True when every sub-tag of a reply was accepted; failed mnemonics are
    // appended to `failed`. Always true for command-type parsers.
    bool checkAllCmdAck(QList<QString>& failed) const;
    // Finds the first image command in (mnemonic, data) pairs that is not a
    // query form ('*', '&' or '^'); the outputs are untouched when none.
    static bool hasSpecialCmd(const QList<QPair<QString, QByteArray>>& cmds, QString& cmd,
                              QByteArray& params);

private:
    // A piece of the text being parsed, borrowed from the caller's bytes.
    struct ByteView
    {
        const char* data;
        int size;
    };
    using ViewList = QVarLengthArray<ByteView, 16>;

    // Parsing steps stay out of the exported symbol table.
    Q_DECL_HIDDEN bool parseDataStream();
    Q_DECL_HIDDEN bool parseCmd(const QByteArray& frame, ViewList& cmds) const;
    Q_DECL_HIDDEN bool parseTag(ByteView cmd, ByteView& tag, ViewList& items) const;
    Q_DECL_HIDDEN static bool parseSubTag(ByteView item, ByteView& name, ByteView& data);
    Q_DECL_HIDDEN void addCommands(const ViewList& cmds);
    Q_DECL_HIDDEN static void splitViews(const char* d, int n, char separator, ViewList& out);

    QByteArray m_rawData;
    EDataType m_dataType = DataTypeResponse;
    EDataProtocol m_protocol = DataProtocolNone;
    bool m_valid = false;
    DataStreamTagList m_tagList;
    // Unused and always empty: repeated tags are found in the tag list itself
    // (through an index while parsing). Kept so the class layout that hosts
    // were built against does not change.
    QMap<QString, QString> m_seenTags;
};

#endif // KXDATASTREAMPARSER_H
