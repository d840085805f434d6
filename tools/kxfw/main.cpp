// kxfw: makes sample firmware files of every kind from given parts, so that
// tests and demonstrations never need firmware blobs.

#include "KXFwBuild.h"

#include "KXUpgrade/KXFirmwareFormats.h"

#include <QFile>
#include <QMap>
#include <QStringList>

#include <algorithm>
#include <cstdio>

namespace {

using R = KernelInfoRecord;

// An option of an information-block form and the record field it fills;
// capacity 0 marks a number.
struct FieldOption
{
    const char* name;
    int offset;
    int capacity;
};

struct Form
{
    const char* name;
    quint32 kind;
    QList<FieldOption> fields;
};

// Each text gets the room up to the next field its kind uses.
const QList<Form> kForms = {
    {"bin",
     2,
     {{"--hardware", R::HardwareName, 32},
      {"--version", R::Version, 24},
      {"--date", R::ImageDate, 16},
      {"--special", R::SpecialInfo, 24},
      {"--product", R::ProductInfo, 116}}},
    {"pak",
     1,
     {{"--hardware", R::HardwareName, 32},
      {"--version", R::Version, 32},
      {"--decoder", R::Date, 32}}},
    {"efp",
     4,
     {{"--hardware", R::HardwareName, 32},
      {"--version", R::Version, 32},
      {"--date", R::Date, 16},
      {"--local", R::LocalParts, 0},
      {"--extended", R::ExtendedParts, 0},
      {"--product", R::ProductInfo, 20},
      {"--cpu", R::EfpCpuModel, 96}}},
    {"efp2",
     5,
     {{"--hardware", R::HardwareName, 32},
      {"--version", R::Version, 32},
      {"--date", R::Date, 16},
      {"--product", R::LocalParts, 20},
      {"--cpu", R::Efp2CpuModel, 100},
      {"--blocks", R::Efp2Blocks, 0}}},
};

const char kUsage[] =
    "usage: kxfw KIND OUT [--part TYPE:FILE[:EXTRA]]... [OPTIONS]\n"
    "  nfp   OUT --part TYPE:FILE[:EXTRA]... --version V --hardware H --date D --device-type N\n"
    "        (\"exfl\" parts are the extended parts, the others the local ones)\n"
    "  image OUT --part TYPE:FILE[:EXTRA]...            plain image with its part table\n"
    "  bin   OUT [--part ...] --version V --hardware H --date D --special S --product P\n"
    "  pak   OUT [--part ...] --version V --hardware H --decoder D\n"
    "  efp   OUT [--part ...] --version V --hardware H --date D --cpu C --product P --local N "
    "--extended N\n"
    "  efp2  OUT [--part ...] --version V --hardware H --date D --cpu C --product P --blocks N\n"
    "  bin, pak, efp and efp2 also take --kind N to store another package kind.\n"
    "  Omitted texts are empty, omitted numbers 0.\n";

int fail(const QString& message)
{
    std::fprintf(stderr, "kxfw: %s\n", qPrintable(message));
    return 2;
}

bool parseNumber(const QString& text, quint32& value)
{
    bool ok = false;
    value = text.toUInt(&ok, 0);
    return ok;
}

// TYPE:FILE[:EXTRA], the file read whole.
bool parsePart(const QString& text, KXFwPart& part, QString& error)
{
    const QStringList pieces = text.split(QLatin1Char(':'));
    if (pieces.size() < 2 || pieces.size() > 3 || pieces[0].size() != 4) {
        error = QStringLiteral("--part wants TYPE:FILE[:EXTRA] with a 4-letter type: %1").arg(text);
        return false;
    }
    part.type = pieces[0].toLatin1();
    if (pieces.size() == 3 && !parseNumber(pieces[2], part.extra)) {
        error = QStringLiteral("bad extra value: %1").arg(pieces[2]);
        return false;
    }
    QFile file(pieces[1]);
    if (!file.open(QIODevice::ReadOnly)) {
        error = QStringLiteral("cannot read %1").arg(pieces[1]);
        return false;
    }
    part.data = file.readAll();
    return true;
}

} // namespace

int main(int argc, char** argv)
{
    QStringList args;
    for (int i = 1; i < argc; ++i)
        args << QString::fromLocal8Bit(argv[i]);
    if (args.size() < 2 || args[0] == QLatin1String("--help")) {
        std::fputs(kUsage, args.isEmpty() || args[0] != QLatin1String("--help") ? stderr : stdout);
        return args.isEmpty() || args[0] != QLatin1String("--help") ? 2 : 0;
    }
    QString kind = args.takeFirst();
    const QString out = args.takeFirst();
    // bin2, bin3, pak2 are laid out as bin and pak.
    if (kind == QLatin1String("bin2") || kind == QLatin1String("bin3") ||
        kind == QLatin1String("pak2"))
        kind.chop(1);

    QList<KXFwPart> parts;
    QMap<QString, QString> options;
    for (int i = 0; i < args.size(); i += 2) {
        if (i + 1 >= args.size())
            return fail(QStringLiteral("%1 needs a value").arg(args[i]));
        QString error;
        if (args[i] == QLatin1String("--part")) {
            KXFwPart part;
            if (!parsePart(args[i + 1], part, error))
                return fail(error);
            parts << part;
        } else {
            options.insert(args[i], args[i + 1]);
        }
    }
    const auto take = [&options](const char* name) {
        return options.take(QLatin1String(name)).toLatin1();
    };

    QByteArray file;
    QString error;
    if (kind == QLatin1String("nfp")) {
        KXFwNfp nfp;
        for (const KXFwPart& part : qAsConst(parts))
            (part.type == "exfl" ? nfp.extended : nfp.local) << part;
        nfp.version = take("--version");
        nfp.hardware = take("--hardware");
        nfp.date = take("--date");
        const QByteArray deviceType = take("--device-type");
        if (!deviceType.isEmpty() && !parseNumber(QString::fromLatin1(deviceType), nfp.deviceType))
            return fail(QStringLiteral("bad --device-type"));
        file = kxfwBuildNfp(nfp, &error);
    } else if (kind == QLatin1String("image")) {
        file = kxfwBuildImage(parts, {}, &error);
    } else {
        const auto form = std::find_if(kForms.begin(), kForms.end(), [&kind](const Form& f) {
            return kind == QLatin1String(f.name);
        });
        if (form == kForms.end())
            return fail(QStringLiteral("unknown kind %1").arg(kind));
        quint32 packageKind = form->kind;
        const QByteArray kindOption = take("--kind");
        if (!kindOption.isEmpty() && !parseNumber(QString::fromLatin1(kindOption), packageKind))
            return fail(QStringLiteral("bad --kind"));
        QList<KXFwInfoField> fields;
        for (const FieldOption& option : form->fields) {
            KXFwInfoField field;
            field.offset = option.offset;
            field.capacity = option.capacity;
            const QByteArray value = take(option.name);
            if (option.capacity == 0 && !value.isEmpty() &&
                !parseNumber(QString::fromLatin1(value), field.number))
                return fail(QStringLiteral("bad %1").arg(QLatin1String(option.name)));
            field.text = value;
            if (option.capacity != 0 && value.size() >= option.capacity)
                return fail(QStringLiteral("%1 takes at most %2 bytes")
                                .arg(QLatin1String(option.name))
                                .arg(option.capacity - 1));
            fields << field;
        }
        const QByteArray block = kxfwBuildInfoBlock(packageKind, fields, &error);
        if (!block.isEmpty())
            file = kxfwBuildImage(parts, block, &error);
    }
    if (!options.isEmpty())
        return fail(QStringLiteral("%1 is not an option of %2").arg(options.firstKey(), kind));
    if (file.isEmpty())
        return fail(error);

    QFile output(out);
    if (!output.open(QIODevice::WriteOnly | QIODevice::Truncate) ||
        output.write(file) != file.size() || !output.flush()) {
        return fail(QStringLiteral("cannot write %1").arg(out));
    }
    return 0;
}
