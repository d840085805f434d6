// The simulated device answering arbitrary bytes written to it: a host frame
// anywhere in the input, commands of any shape, whole-text queries, data
// format merges. The device must answer or refuse, never crash or grow
// without bound.

#include "KXFuzz.h"

#include "offline/KXOffLineAdaptor.h"

#include <memory>

namespace {

std::unique_ptr<KXOffLineAdaptor> g_device;

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    kxFuzzQuietLogging();
    g_device = std::make_unique<KXOffLineAdaptor>();
    const QString folder = QStringLiteral(KX_SOURCE_DIR "/examples/offline");
    g_device->loadFiles(folder + QStringLiteral("/DeviceConfiguration.xml"),
                        folder + QStringLiteral("/Offline.xml"));
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const QByteArray input = kxFuzzBytes(data, size);
    const bool accepted = g_device->write(input);
    QByteArray reply;
    const quint32 count = g_device->read_ex(reply, 0, 0, nullptr);
    KX_FUZZ_CHECK(int(count) == reply.size());
    KX_FUZZ_CHECK(accepted || count == 0);
    if (count > 0) {
        KX_FUZZ_CHECK(reply.startsWith(QByteArray("\x02\x01"
                                                  "0000@",
                                                  7)));
        KX_FUZZ_CHECK(reply.endsWith(";\x03"));
    }
    // Values set by one input stay for the next, like on a real device;
    // reload now and then so that merged data formats cannot pile up.
    static int inputs = 0;
    if (++inputs % 1000 == 0)
        g_device->loadFiles(g_device->engine().configFile(), g_device->engine().offlineFile());
    return 0;
}
