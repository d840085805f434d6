// The simulated device's three XML loaders fed arbitrary file contents. The
// first input byte picks the file the rest is written to: the device
// configuration, the offline description, or a settings page. Loading must
// fail or succeed cleanly, and the device must still answer afterwards.

#include "KXFuzz.h"

#include "offline/KXOffLineAdaptor.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <memory>

namespace {

std::unique_ptr<QTemporaryDir> g_dir;

QString pathOf(const char* name)
{
    return g_dir->filePath(QString::fromLatin1(name));
}

void writeFile(const QString& path, const QByteArray& content)
{
    QFile file(path);
    if (file.open(QIODevice::WriteOnly | QIODevice::Truncate))
        file.write(content);
}

const QByteArray kConfig = "<DeviceConfiguration><S><CommandName>SCNSPN</CommandName>"
                           "<SettingsList>0-9</SettingsList><Default>1</Default>"
                           "<Minimum>0</Minimum><Maximum>9</Maximum></S></DeviceConfiguration>";
const QByteArray kOffline = "<offline><NotSupported/><Query/></offline>";
const QByteArray kPage = "<Pages><Page><Group><Item Id=\"SCNSPN\" ControlType=\"Radio\"/>"
                         "</Group></Page></Pages>";

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    kxFuzzQuietLogging();
    g_dir = std::make_unique<QTemporaryDir>();
    QDir().mkpath(pathOf("pages"));
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size == 0)
        return 0;
    const QByteArray content = kxFuzzBytes(data + 1, size - 1);
    const int which = data[0] % 3;
    writeFile(pathOf("config.xml"), which == 0 ? content : kConfig);
    writeFile(pathOf("offline.xml"), which == 1 ? content : kOffline);
    writeFile(pathOf("pages/2D.xml"), which == 2 ? content : kPage);

    KXOffLineAdaptor device;
    device.loadFiles(pathOf("config.xml"), pathOf("offline.xml"));
    for (const char* text : {"*", "^", "&", "SCNSPN5;SCNSPN*", "SCNSPN^,SPN&"}) {
        const QByteArray frame = QByteArray("\x7E\x01"
                                            "0000@",
                                            7) +
                                 text + QByteArray(";\x03", 2);
        KX_FUZZ_CHECK(device.write(frame));
    }
    QByteArray reply;
    device.read_ex(reply, 0, 0, nullptr);
    KX_FUZZ_CHECK(!reply.isEmpty());
    return 0;
}
