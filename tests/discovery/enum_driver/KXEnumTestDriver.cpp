// A stand-in for the driver library that simulates whole devices in-process,
// for enumeration tests that a pseudo-terminal cannot show: detection kinds,
// framings a device answers to, ports that must not be opened. Built as
// libKXDataStream.so into a folder of its own; tests put that folder on the
// library path and set it up through the kxds_test_* functions.
//
// A simulated device answers the information query at once: the scanner
// query with its lines (serial number "SN" and its port, or "SNUSB" and its
// index), every other command ENQ. Opened with a framing it does not take,
// it hears garbage and answers the scanner query ENQ too, so a failed probe
// costs no reply time-out.

#include "driver/KXDataStreamDriver.h"

#include <chrono>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

namespace {

struct SimPort
{
    uint16_t port;
    uint8_t kind;
    uint32_t baudRate;
    int dataBits; // the framing it answers to; 0: any, -1: none
    int parity;
};

struct Link
{
    std::string serial; // empty while nothing is open
    bool understands = false;
    std::string pending; // reply bytes not read yet
};

// Set up by the test while no pass runs (starting the pass's thread orders
// them before its reads); only the link is shared with the pass.
std::vector<SimPort> g_ports;
std::vector<std::string> g_usbNames;
void (*g_onOpen)(const char*, void*) = nullptr;
void* g_onOpenContext = nullptr;
// A pass opens its devices one after the other: every handle stands for the
// one link open at a time.
std::mutex g_mutex;
std::condition_variable g_changed;
Link g_link;

// The reply to a text-envelope command (7E 01, four digits, '@' or '#',
// text, ";" 03), on its first command: the scanner query with the device's
// lines when it understands, anything else ENQ (unknown), which leaves the
// kit's other queries empty.
std::string replyTo(const std::string& frame, const Link& link)
{
    const std::string body = frame.substr(7, 6);
    std::string reply = "\002\0010000" + frame.substr(6, 1) + body;
    if (link.understands && body == "QRYSYS")
        reply += "Product Name: KX-TEST\x06,PDNProduct Name: KX-TEST\x06,PSNSerial Number: " +
                 link.serial + '\x06';
    else
        reply += '\x05';
    return reply + ";\x03";
}

// Opens the link on a device (none: empty serial), then tells the test.
int open(const std::string& call, const std::string& serial, bool understands, uint32_t* error)
{
    {
        std::lock_guard<std::mutex> lock(g_mutex);
        g_link = Link{serial, understands, {}};
    }
    if (error)
        *error = serial.empty() ? KXDS_ERROR_NOT_FOUND : KXDS_ERROR_NONE;
    if (g_onOpen)
        g_onOpen(call.c_str(), g_onOpenContext);
    return serial.empty() ? 0 : 1;
}

} // namespace

extern "C" {

// Test controls, not part of the driver interface.

// Starts afresh without devices. `hook` is called on the opening thread with
// each opening, such as "open_com 1001 8/0" (data bits/parity) or
// "open_usb /dev/kxA 3" (mode).
KXDS_EXPORT void kxds_test_start(void (*hook)(const char*, void*), void* context)
{
    g_ports.clear();
    g_usbNames.clear();
    g_onOpen = hook;
    g_onOpenContext = context;
}

// dataBits and parity: the framing the device answers to; 0 any, -1 none.
KXDS_EXPORT void kxds_test_add_port(uint16_t port, uint8_t kind, uint32_t baudRate, int dataBits,
                                    int parity)
{
    g_ports.push_back(SimPort{port, kind, baudRate, dataBits, parity});
}

KXDS_EXPORT void kxds_test_add_usb(const char* name)
{
    g_usbNames.emplace_back(name);
}

uint32_t kxds_create(void)
{
    return 1;
}

void kxds_close(uint32_t)
{
    std::lock_guard<std::mutex> lock(g_mutex);
    g_link = Link{};
    g_changed.notify_all();
}

void kxds_destory(uint32_t handle)
{
    kxds_close(handle);
}

int kxds_open_usb(uint32_t, const uint8_t* record_, int mode, uint32_t* error)
{
    std::string name, serial;
    for (int at = 0; at + 1 < KXDS_USB_RECORD_SIZE && (record_[at] || record_[at + 1]); at += 2)
        name += char(record_[at]); // the tests use ASCII names
    for (size_t i = 0; i < g_usbNames.size(); ++i)
        serial = g_usbNames[i] == name ? "SNUSB" + std::to_string(i + 1) : serial;
    return open("open_usb " + name + ' ' + std::to_string(mode), serial, true, error);
}

int kxds_open_com(uint32_t, const uint8_t* record_, uint32_t* error)
{
    KXDSComRecord com;
    std::memcpy(&com, record_, sizeof com);
    std::string serial;
    bool understands = false;
    for (const SimPort& port : g_ports) {
        if (port.port != com.port)
            continue;
        serial = "SN" + std::to_string(port.port);
        understands =
            port.dataBits == 0 || (port.dataBits == com.dataBits && port.parity == com.parity);
    }
    const std::string call = "open_com " + std::to_string(com.port) + ' ' +
                             std::to_string(com.dataBits) + '/' + std::to_string(com.parity);
    return open(call, serial, understands, error);
}

int kxds_is_open(uint32_t)
{
    std::lock_guard<std::mutex> lock(g_mutex);
    return !g_link.serial.empty();
}

int kxds_clean(uint32_t, int value)
{
    std::lock_guard<std::mutex> lock(g_mutex);
    g_link.pending.clear();
    return value;
}

int kxds_write(uint32_t, const uint8_t* data, uint32_t size)
{
    std::lock_guard<std::mutex> lock(g_mutex);
    const std::string frame(reinterpret_cast<const char*>(data), size);
    if (g_link.serial.empty())
        return 0;
    if (frame.size() >= 15 && frame.compare(0, 2, "\x7E\x01") == 0)
        g_link.pending += replyTo(frame, g_link);
    g_changed.notify_all();
    return 1;
}

// Waits for a reply, or for the link to close.
uint32_t kxds_read_ex(uint32_t, uint8_t* buffer, uint32_t capacity, uint32_t reponse_time, uint32_t,
                      uint32_t* error)
{
    std::unique_lock<std::mutex> lock(g_mutex);
    g_changed.wait_for(lock, std::chrono::milliseconds(reponse_time),
                       [] { return g_link.serial.empty() || !g_link.pending.empty(); });
    if (error)
        *error = KXDS_ERROR_NONE;
    const uint32_t count = std::min<uint32_t>(capacity, uint32_t(g_link.pending.size()));
    std::memcpy(buffer, g_link.pending.data(), count);
    g_link.pending.erase(0, count);
    return count;
}

uint32_t kxds_read_until(uint32_t handle, uint8_t* buffer, uint32_t capacity, uint32_t reponse_time,
                         uint32_t, const char*, int, uint32_t* error)
{
    return kxds_read_ex(handle, buffer, capacity, reponse_time, 0, error);
}

int kxds_enum_usb_device_ex(uint8_t* records, int capacity, int, int, int, int, int, int)
{
    int count = 0;
    for (; count < capacity && count < int(g_usbNames.size()); ++count) {
        uint8_t* record_ = records + size_t(count) * KXDS_USB_RECORD_SIZE;
        for (size_t i = 0; i < g_usbNames[count].size(); ++i)
            record_[2 * i] = uint8_t(g_usbNames[count][i]);
        record_[KXDS_USB_TYPE_OFFSET] = KXDS_USB_TYPE_DATAPIPE;
    }
    return count;
}

int kxds_enum_serial_ports(uint8_t* records, int capacity)
{
    int count = 0;
    for (; count < capacity && count < int(g_ports.size()); ++count)
        std::memcpy(records + size_t(count) * KXDS_COM_RECORD_SIZE, &g_ports[count].port, 2);
    return count;
}

// Every port as configured, with eight data bits, one stop bit, no parity.
int kxds_detect_serial_settings(uint8_t* records, int count, int)
{
    for (int i = 0; i < count && i < int(g_ports.size()); ++i) {
        const KXDSComRecord com{
            g_ports[i].port, g_ports[i].kind, 0, g_ports[i].baudRate, 8, 0, 0, 0};
        std::memcpy(records + size_t(i) * KXDS_COM_RECORD_SIZE, &com, sizeof com);
    }
    return count;
}

} // extern "C"
