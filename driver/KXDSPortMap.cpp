#include "KXDSPortMap.h"

#include "KXDataStreamDriver.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fstream>
#include <sys/stat.h>

namespace kxds {

namespace {

struct NodeFamily
{
    const char* prefix; // name in /dev
    unsigned base;      // port number of index 0
    unsigned count;     // indexes that fit before the next family
};

constexpr NodeFamily families[] = {
    {"ttyS", KXDS_PORT_TTYS_BASE, KXDS_PORT_TTYUSB_BASE - KXDS_PORT_TTYS_BASE},
    {"ttyUSB", KXDS_PORT_TTYUSB_BASE, KXDS_PORT_TTYACM_BASE - KXDS_PORT_TTYUSB_BASE},
    {"ttyACM", KXDS_PORT_TTYACM_BASE, KXDS_PORT_EXTRA_BASE - KXDS_PORT_TTYACM_BASE},
};

constexpr unsigned maxExtraPorts = 65535u - KXDS_PORT_EXTRA_BASE + 1;

bool isFamily(const NodeFamily& family, const char* prefix)
{
    return std::strcmp(family.prefix, prefix) == 0;
}

// Index of a node name such as "ttyUSB3" in its family; false for anything
// else, including leading zeros, which no kernel name carries.
bool parseNodeIndex(const char* name, const NodeFamily& family, unsigned& index)
{
    const size_t prefixLength = std::strlen(family.prefix);
    if (std::strncmp(name, family.prefix, prefixLength) != 0)
        return false;
    const char* digits = name + prefixLength;
    const size_t length = std::strlen(digits);
    if (length == 0 || length > 4 || (digits[0] == '0' && length > 1))
        return false;
    unsigned value = 0;
    for (size_t i = 0; i < length; ++i) {
        if (digits[i] < '0' || digits[i] > '9')
            return false;
        value = value * 10 + static_cast<unsigned>(digits[i] - '0');
    }
    if (value >= family.count)
        return false;
    index = value;
    return true;
}

bool isCharacterDevice(const std::string& path)
{
    struct stat st;
    return ::stat(path.c_str(), &st) == 0 && S_ISCHR(st.st_mode);
}

bool pathExists(const std::string& path)
{
    struct stat st;
    return ::stat(path.c_str(), &st) == 0;
}

} // namespace

std::vector<std::string> pathsFromEnvironment(const char* name)
{
    std::vector<std::string> paths;
    const char* value = std::getenv(name);
    if (!value)
        return paths;
    const char* start = value;
    while (paths.size() < maxExtraPorts) {
        const char* end = std::strchr(start, ':');
        const size_t length = end ? static_cast<size_t>(end - start) : std::strlen(start);
        if (length > 0)
            paths.emplace_back(start, length);
        if (!end)
            break;
        start = end + 1;
    }
    return paths;
}

bool serialHardwarePresent(unsigned index)
{
    std::ifstream typeFile("/sys/class/tty/ttyS" + std::to_string(index) + "/type");
    long type = 0;
    return typeFile >> type && type != 0;
}

std::string portTtyName(uint16_t port)
{
    for (const NodeFamily& family : families) {
        if (port < family.base || port >= family.base + family.count)
            continue;
        const unsigned index = port - family.base;
        if (isFamily(family, "ttyS") && !serialHardwarePresent(index))
            return std::string();
        return family.prefix + std::to_string(index);
    }
    return std::string();
}

std::string portPath(uint16_t port)
{
    if (port >= KXDS_PORT_EXTRA_BASE) {
        const std::vector<std::string> extra = pathsFromEnvironment("KXDS_EXTRA_PORTS");
        const size_t index = port - KXDS_PORT_EXTRA_BASE;
        return index < extra.size() ? extra[index] : std::string();
    }
    const std::string name = portTtyName(port);
    return name.empty() ? name : "/dev/" + name;
}

bool isKernelConsole(const std::string& ttyName)
{
    // Space-separated names, such as "tty0 ttyS0".
    std::ifstream active("/sys/class/tty/console/active");
    std::string name;
    while (!ttyName.empty() && active >> name) {
        if (name == ttyName)
            return true;
    }
    return false;
}

std::vector<uint16_t> listSerialPorts()
{
    std::vector<uint16_t> ports;
    if (DIR* dev = ::opendir("/dev")) {
        while (const dirent* entry = ::readdir(dev)) {
            for (const NodeFamily& family : families) {
                unsigned index = 0;
                if (!parseNodeIndex(entry->d_name, family, index))
                    continue;
                if (!isCharacterDevice(std::string("/dev/") + entry->d_name))
                    continue;
                if (isFamily(family, "ttyS") && !serialHardwarePresent(index))
                    continue;
                ports.push_back(static_cast<uint16_t>(family.base + index));
            }
        }
        ::closedir(dev);
    }
    const std::vector<std::string> extra = pathsFromEnvironment("KXDS_EXTRA_PORTS");
    for (size_t i = 0; i < extra.size(); ++i) {
        if (pathExists(extra[i]))
            ports.push_back(static_cast<uint16_t>(KXDS_PORT_EXTRA_BASE + i));
    }
    std::sort(ports.begin(), ports.end());
    return ports;
}

} // namespace kxds
