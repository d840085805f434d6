#!/usr/bin/env python3
"""Check the sample simulated device files for consistency.

Usage: check_sample.py [DIRECTORY]

DIRECTORY holds DeviceConfiguration.xml, Offline.xml and pages/ (default: the
directory of this script).  Every violation found is printed on its own line
and the script exits with status 1; on success it prints a short summary and
exits with status 0.  Only the Python standard library is used.
"""

import os
import re
import sys
import xml.etree.ElementTree as ET

PAGE_NAMES = [
    "Page Exposure Settings", "Page Global Settings", "Page Device Settings",
    "Page Image Save", "Page Interface", "Page Other", "Page Prefix Suffix",
    "Page Scanning Options", "1D", "2D", "Postal", "OCR",
]
NUMERIC_TYPES = ["SpinBox", "ToggleButton", "SpinSlider", "DoubleSpinBox", "DoubleSlider"]
LIST_TYPES = ["ComboBox", "COMBOBOXCUSTOM", "Radio"]
MIN_SETTINGS = 40
MAX_RANGE_VALUES = 5000          # "a few thousand values" at most per range
INFO_QUERIES = ["QRYSYS", "QRYPDN", "QRYPSN", "QRYFWV", "PRNQRY"]
NETWORK_QUERY = ["NETDEN", "NETLPA", "NETSMK", "NETGIP"]
BASE_QUERIES = ["BASQSY", "BASQHN", "BASQSN", "BASQFW"]  # the base station kxsim --base plays
PROBES = ["NVIENA", "URFDCH"]    # optional features a host probes for
BUILT_IN = ["BUFQRY", "DLPQSZ"]  # the device adds these two itself
INT_RE = re.compile(r"-?[0-9]+")
NAME_RE = re.compile(r"[A-Z0-9]{6}")
IPV4_RE = re.compile(r"(25[0-5]|2[0-4][0-9]|1[0-9][0-9]|[1-9]?[0-9])(\.(25[0-5]|2[0-4][0-9]|1[0-9][0-9]|[1-9]?[0-9])){3}")
MAC_RE = re.compile(r"[0-9A-F]{2}(:[0-9A-F]{2}){5}")

errors = []


def fail(msg):
    errors.append(msg)


def is_int(text):
    return bool(INT_RE.fullmatch(text))


def parse_xml(path, root_name):
    """Parse a file and check its root element; None on failure."""
    try:
        root = ET.parse(path).getroot()
    except (OSError, ET.ParseError) as exc:
        fail("%s: cannot be read or parsed: %s" % (path, exc))
        return None
    if root.tag != root_name:
        fail("%s: root element is <%s>, expected <%s>" % (path, root.tag, root_name))
        return None
    return root


def child_text(elem, tag):
    child = elem.find(tag)
    return (child.text or "").strip() if child is not None else ""


def parse_settings_list(text, where):
    """Allowed values as the device parses them: ordered dict key -> label.
    Ranges are expanded (and checked against MAX_RANGE_VALUES)."""
    items = {}
    for entry in text.split("|"):
        if entry == "":
            continue
        if ":" in entry:
            a, b = (s.strip() for s in entry.split(":", 1))
            if is_int(a):
                items[a] = b
            else:
                items[b] = a
        elif "-" in entry:
            lo, hi = entry.rsplit("-", 1)
            lo, hi = lo.strip(), hi.strip()
            if not (is_int(lo) and is_int(hi)):
                fail("%s: range entry %r does not have integer bounds" % (where, entry))
                continue
            count = int(hi) - int(lo) + 1
            if count > MAX_RANGE_VALUES:
                fail("%s: range entry %r has %d values (at most %d allowed)"
                     % (where, entry, count, MAX_RANGE_VALUES))
                continue
            for v in range(int(lo), int(hi) + 1):
                items[str(v)] = str(v)
        else:
            items[entry.strip()] = entry.strip()
    return items


def info_lines(text, where):
    """'Key: value' lines separated by CR LF, as a host reads them."""
    result = {}
    for line in text.split("\r\n"):
        if ":" not in line:
            fail("%s: information line %r has no ':'" % (where, line))
            continue
        key, value = line.split(":", 1)
        result[key] = value.strip()
    return result


def main():
    base = os.path.abspath(sys.argv[1] if len(sys.argv) > 1 else os.path.dirname(os.path.abspath(__file__)))
    config_path = os.path.join(base, "DeviceConfiguration.xml")
    offline_path = os.path.join(base, "Offline.xml")

    # ---- device configuration -------------------------------------------------
    settings = {}
    order = []
    root = parse_xml(config_path, "DeviceConfiguration")
    if root is not None:
        for elem in root:
            name = child_text(elem, "CommandName")
            where = "DeviceConfiguration.xml: setting %r" % name
            if len(name) != 6 or not NAME_RE.fullmatch(name):
                fail("%s: CommandName must be exactly six upper-case letters or digits" % where)
                continue
            if name in settings:
                fail("%s: defined more than once" % where)
                continue
            settings[name] = {
                "list": child_text(elem, "SettingsList"),
                "default": child_text(elem, "Default"),
                "min": child_text(elem, "Minimum"),
                "max": child_text(elem, "Maximum"),
                "raw_default": (elem.find("Default").text or "") if elem.find("Default") is not None else "",
            }
            order.append(name)
    if len(settings) < MIN_SETTINGS:
        fail("DeviceConfiguration.xml: %d settings, at least %d expected" % (len(settings), MIN_SETTINGS))

    for name, s in settings.items():
        where = "DeviceConfiguration.xml: setting %s" % name
        for field in ("list", "default"):
            bad = [c for c in ",;" if c in s[field]]
            if bad:
                fail("%s: %s contains %s, which would break the reply framing"
                     % (where, "SettingsList" if field == "list" else "Default", " and ".join(map(repr, bad))))
        if "_" in s["list"]:
            fail("%s: SettingsList contains '_'" % where)
        for field, label in (("min", "Minimum"), ("max", "Maximum")):
            if s[field] and not is_int(s[field]):
                fail("%s: %s %r is not a decimal integer" % (where, label, s[field]))
    for name in BUILT_IN:
        if name in settings:
            fail("DeviceConfiguration.xml: %s is built into the simulated device and must not be configured" % name)

    # ---- offline description -----------------------------------------------------
    not_supported, query_only = [], []
    root = parse_xml(offline_path, "offline")
    if root is not None:
        for section, target in (("NotSupported", not_supported), ("Query", query_only)):
            elems = root.findall(section)
            if len(elems) != 1:
                fail("Offline.xml: expected exactly one <%s> element, found %d" % (section, len(elems)))
            for sec in elems:
                for item in sec:
                    ident = (item.get("id") or "").strip()
                    if not ident:
                        fail("Offline.xml: <%s> has a child without an id" % section)
                    elif ident not in settings:
                        fail("Offline.xml: %s id %r is not a configured setting" % (section, ident))
                    elif ident in target:
                        fail("Offline.xml: %s id %r listed twice" % (section, ident))
                    else:
                        target.append(ident)
        if not not_supported:
            fail("Offline.xml: <NotSupported> names no setting")
        if not query_only:
            fail("Offline.xml: <Query> names no setting")
        for ident in set(not_supported) & set(query_only):
            fail("Offline.xml: %s is both not supported and query-only" % ident)

    # ---- page files -------------------------------------------------------------------
    control = {}   # mnemonic -> (control type, page)
    for page in PAGE_NAMES:
        path = os.path.join(base, "pages", page + ".xml")
        label = "pages/%s.xml" % page
        root = parse_xml(path, "Pages")
        if root is None:
            continue
        count = 0
        for page_elem in root.iter("Page"):
            for group in page_elem.iter("Group"):
                for item in group.iter("Item"):
                    ident = (item.get("Id") or "").strip()
                    ctype = (item.get("ControlType") or "").strip()
                    count += 1
                    if not ident or not ctype:
                        fail("%s: an Item lacks Id or ControlType (%r, %r)" % (label, ident, ctype))
                        continue
                    if ident not in settings:
                        fail("%s: Item Id %r is not a configured setting" % (label, ident))
                        continue
                    if ident in control:
                        fail("%s: Item Id %r already placed on %s" % (label, ident, control[ident][1]))
                        continue
                    control[ident] = (ctype, page)
        if count == 0:
            fail("%s: no Pages > Page > Group > Item found" % label)
        if len(list(root.iter("Item"))) != count:
            fail("%s: some Item elements are not inside Pages > Page > Group" % label)

    # ---- control types and values -----------------------------------------------------
    used_types = {ct for ct, _ in control.values()}
    for ct in NUMERIC_TYPES + LIST_TYPES:
        if ct not in used_types:
            fail("pages: control type %s is used by no Item" % ct)
    free = [n for n in settings if n not in control or control[n][0] not in NUMERIC_TYPES + LIST_TYPES]
    off_page = [n for n in settings if n not in control]
    if not off_page:
        fail("pages: every setting is on a page; at least one must be on none")

    for name in order:
        s = settings[name]
        ctype = control.get(name, ("", ""))[0]
        where = "setting %s (%s)" % (name, ctype or "no page")
        if name in query_only:
            continue  # any parameter is accepted; nothing to check against
        if ctype in NUMERIC_TYPES:
            if not (is_int(s["min"]) and is_int(s["max"])):
                fail("%s: numeric setting needs integer Minimum and Maximum" % where)
                continue
            lo, hi = int(s["min"]), int(s["max"])
            if lo > hi:
                fail("%s: Minimum %d > Maximum %d" % (where, lo, hi))
            if hi - lo + 1 > MAX_RANGE_VALUES:
                fail("%s: range %d-%d too large" % (where, lo, hi))
            if s["list"] != "%d-%d" % (lo, hi):
                fail("%s: SettingsList %r should be the range %d-%d" % (where, s["list"], lo, hi))
            if s["default"]:
                if not is_int(s["default"]) or not lo <= int(s["default"]) <= hi:
                    fail("%s: Default %r not an integer within %d..%d" % (where, s["default"], lo, hi))
            if ctype == "ToggleButton" and (lo, hi) != (0, 1):
                fail("%s: a ToggleButton should range 0-1" % where)
        elif ctype in LIST_TYPES:
            if not (is_int(s["min"]) and is_int(s["max"])):
                fail("%s: list setting needs integer Minimum and Maximum" % where)
                continue
            lo, hi = int(s["min"]), int(s["max"])
            if lo > hi:
                fail("%s: Minimum %d > Maximum %d" % (where, lo, hi))
            items = parse_settings_list(s["list"], where)
            if not items:
                fail("%s: SettingsList %r gives no allowed values" % (where, s["list"]))
            for key in items:
                if is_int(key) and not lo <= int(key) <= hi:
                    fail("%s: key %s lies outside Minimum..Maximum %d..%d" % (where, key, lo, hi))
            d = s["default"]
            if d and d not in items and not (is_int(d) and lo <= int(d) <= hi):
                fail("%s: Default %r is neither a SettingsList key nor within %d..%d" % (where, d, lo, hi))
        else:
            if s["list"]:
                parse_settings_list(s["list"], where)  # range sizes still bounded

    # ---- special settings ---------------------------------------------------------------
    def need(name, what):
        if name not in settings:
            fail("DeviceConfiguration.xml: %s missing (%s)" % (name, what))
            return False
        return True

    for name in ("DFMQCU", "DFMADD", "DFMCAL", "LUAQRY"):
        if need(name, "data format / Lua setting"):
            if name not in free:
                fail("%s must be free (on no page or with a non-checking control type)" % name)
            if name in query_only or name in not_supported:
                fail("%s must be neither query-only nor not supported" % name)
    if "DFMQCU" in settings and settings["DFMQCU"]["raw_default"] != "":
        fail("DFMQCU must have an empty Default (it then starts as the four empty data formats)")
    if "LUAQRY" in settings and settings["LUAQRY"]["default"] != "":
        fail("LUAQRY must have an empty Default")
    if "DFMADD" in settings and "DFMADD" in control:
        fail("DFMADD must be on no page")

    info = {}
    for name in INFO_QUERIES:
        if need(name, "device information query") and name not in query_only:
            fail("%s must be query-only" % name)
    for name, key in (("QRYPDN", "Product Name"), ("QRYPSN", "Serial Number"), ("QRYFWV", "Firmware Version")):
        if name in settings:
            lines = info_lines(settings[name]["default"], name)
            if not lines.get(key):
                fail("%s must answer a %r line with a value" % (name, key))
            info.update((k, (v, name)) for k, v in lines.items())
    if "QRYSYS" in settings:
        sys_lines = info_lines(settings["QRYSYS"]["default"], "QRYSYS")
        for key, (value, src) in info.items():
            if sys_lines.get(key) != value:
                fail("QRYSYS %r is %r but %s says %r" % (key, sys_lines.get(key), src, value))
        if "PRNQRY" in settings and sys_lines.get("Product Code") != settings["PRNQRY"]["default"]:
            fail("QRYSYS 'Product Code' differs from PRNQRY")
        if "NETMAC" in settings and sys_lines.get("MAC Address") != settings["NETMAC"]["default"]:
            fail("QRYSYS 'MAC Address' differs from NETMAC")
    if "NETMAC" in settings and not MAC_RE.fullmatch(settings["NETMAC"]["default"]):
        fail("NETMAC %r is not a MAC address" % settings["NETMAC"]["default"])

    for name in BASE_QUERIES + PROBES:
        if need(name, "base station or feature query") and name not in query_only:
            fail("%s must be query-only" % name)
    if "NVIENA" in settings and settings["NVIENA"]["default"] not in ("0", "1"):
        fail("NVIENA default %r is neither 0 nor 1" % settings["NVIENA"]["default"])
    if "BASQSY" in settings:
        base_lines = info_lines(settings["BASQSY"]["default"], "BASQSY")
        for name, key in (("BASQHN", "Product Name"), ("BASQSN", "Serial Number"), ("BASQFW", "Firmware Version")):
            if name not in settings:
                continue
            lines = info_lines(settings[name]["default"], name)
            if not lines.get(key):
                fail("%s must answer a %r line with a value" % (name, key))
            for k, v in lines.items():
                if base_lines.get(k) != v:
                    fail("BASQSY %r is %r but %s says %r" % (k, base_lines.get(k), name, v))
        if base_lines.get("Serial Number") == info.get("Serial Number", ("", ""))[0]:
            fail("the base station and the scanner have the same serial number")
        base_mac = base_lines.get("MAC Address", "")
        if not MAC_RE.fullmatch(base_mac):
            fail("BASQSY 'MAC Address' %r is not a MAC address" % base_mac)
        elif "NETMAC" in settings and base_mac == settings["NETMAC"]["default"]:
            fail("the base station and the scanner have the same MAC address")

    for name in NETWORK_QUERY:
        if need(name, "network query"):
            if name in query_only or name in not_supported:
                fail("%s must be neither query-only nor not supported" % name)
    for name in NETWORK_QUERY[1:]:
        if name in settings and not IPV4_RE.fullmatch(settings[name]["default"]):
            fail("%s default %r is not an IPv4 address" % (name, settings[name]["default"]))

    # ---- report -------------------------------------------------------------------------
    if errors:
        for e in errors:
            print("FAIL: " + e, file=sys.stderr)
        print("%d violation(s) in %s" % (len(errors), base), file=sys.stderr)
        return 1
    by_type = {}
    for name in settings:
        ctype = control.get(name, ("(no page)", ""))[0]
        if ctype not in NUMERIC_TYPES + LIST_TYPES and ctype != "(no page)":
            ctype = "free: " + ctype
        elif ctype == "(no page)":
            ctype = "free: no page"
        by_type.setdefault(ctype, []).append(name)
    print("OK: %d settings, %d on pages, %d not supported, %d query-only"
          % (len(settings), len(control), len(not_supported), len(query_only)))
    for ctype in NUMERIC_TYPES + LIST_TYPES + sorted(t for t in by_type if t.startswith("free")):
        print("  %-26s %3d  %s" % (ctype, len(by_type.get(ctype, [])), " ".join(by_type.get(ctype, []))))
    return 0


if __name__ == "__main__":
    sys.exit(main())
