"""What libusb sees of the attached adapters, without the library: their
USB ids in libusb's order (the order the library counts device indexes
in), and whether another program holds one that would not open."""

import ctypes
import os

_BUSY = -6  # LIBUSB_ERROR_BUSY


class _DeviceDescriptor(ctypes.Structure):
    _fields_ = [
        ("bLength", ctypes.c_uint8),
        ("bDescriptorType", ctypes.c_uint8),
        ("bcdUSB", ctypes.c_uint16),
        ("bDeviceClass", ctypes.c_uint8),
        ("bDeviceSubClass", ctypes.c_uint8),
        ("bDeviceProtocol", ctypes.c_uint8),
        ("bMaxPacketSize0", ctypes.c_uint8),
        ("idVendor", ctypes.c_uint16),
        ("idProduct", ctypes.c_uint16),
        ("bcdDevice", ctypes.c_uint16),
        ("iManufacturer", ctypes.c_uint8),
        ("iProduct", ctypes.c_uint8),
        ("iSerialNumber", ctypes.c_uint8),
        ("bNumConfigurations", ctypes.c_uint8),
    ]


def _libusb():
    try:
        usb = ctypes.CDLL("libusb-1.0.so.0")
    except OSError:
        return None
    pointer = ctypes.c_void_p
    usb.libusb_init.argtypes = [ctypes.POINTER(pointer)]
    usb.libusb_exit.argtypes = [pointer]
    usb.libusb_get_device_list.restype = ctypes.c_ssize_t
    usb.libusb_get_device_list.argtypes = [pointer, ctypes.POINTER(ctypes.POINTER(pointer))]
    usb.libusb_free_device_list.argtypes = [ctypes.POINTER(pointer), ctypes.c_int]
    usb.libusb_get_device_descriptor.argtypes = [pointer, ctypes.POINTER(_DeviceDescriptor)]
    usb.libusb_get_bus_number.argtypes = [pointer]
    usb.libusb_get_bus_number.restype = ctypes.c_uint8
    usb.libusb_get_device_address.argtypes = [pointer]
    usb.libusb_get_device_address.restype = ctypes.c_uint8
    usb.libusb_open.argtypes = [pointer, ctypes.POINTER(pointer)]
    usb.libusb_close.argtypes = [pointer]
    usb.libusb_claim_interface.argtypes = [pointer, ctypes.c_int]
    usb.libusb_get_port_numbers.argtypes = [pointer, ctypes.POINTER(ctypes.c_uint8), ctypes.c_int]
    usb.libusb_get_string_descriptor_ascii.argtypes = [pointer, ctypes.c_uint8, ctypes.c_char_p, ctypes.c_int]
    usb.libusb_release_interface.argtypes = [pointer, ctypes.c_int]
    return usb


def _each_device(visit):
    """Calls visit(usb, device, (vendor, product)) for every attached
    device in libusb's order until it returns something other than None,
    and returns that."""
    usb = _libusb()
    if usb is None:
        return None
    ctx = ctypes.c_void_p()
    if usb.libusb_init(ctypes.byref(ctx)) != 0:
        return None
    devices = ctypes.POINTER(ctypes.c_void_p)()
    n = usb.libusb_get_device_list(ctx, ctypes.byref(devices))
    try:
        for i in range(max(n, 0)):
            d = _DeviceDescriptor()
            if usb.libusb_get_device_descriptor(devices[i], ctypes.byref(d)) != 0:
                continue
            found = visit(usb, devices[i], (d.idVendor, d.idProduct))
            if found is not None:
                return found
        return None
    finally:
        if n >= 0:
            usb.libusb_free_device_list(devices, 1)
        usb.libusb_exit(ctx)


def _port_path(usb, dev):
    """"1-2.3", as the kernel names the device; "" when libusb knows none."""
    ports = (ctypes.c_uint8 * 8)()
    depth = usb.libusb_get_port_numbers(dev, ports, 8)
    if depth <= 0:
        return ""
    return f"{usb.libusb_get_bus_number(dev)}-" + ".".join(str(ports[i]) for i in range(depth))


def _serial(usb, dev, port, index):
    """The USB serial number string: sysfs's, else asked of the device on
    its default pipe (no claim needed); "" when it reports none."""
    if index == 0:
        return ""
    if port:
        try:
            with open(f"/sys/bus/usb/devices/{port}/serial", encoding="utf-8", errors="replace") as f:
                text = f.readline().rstrip("\n")
            # As libusb reads the descriptor (and the library compares it):
            # '?' for every UTF-16 unit outside ASCII.
            return "".join(c if ord(c) < 0x80 else "??" if ord(c) > 0xFFFF else "?" for c in text)
        except OSError:
            pass
    handle = ctypes.c_void_p()
    if usb.libusb_open(dev, ctypes.byref(handle)) != 0:
        return ""
    text = ctypes.create_string_buffer(256)
    n = usb.libusb_get_string_descriptor_ascii(handle, index, text, 256)
    usb.libusb_close(handle)
    return text.raw[:n].decode("ascii", "replace") if n > 0 else ""


def adapters_with_ids(ids):
    """(index, port path, serial number) of each attached device with these
    USB ids, in libusb's order (the order the library counts indexes in)."""
    found = []

    def visit(usb, dev, id_):
        if id_ == ids:
            d = _DeviceDescriptor()
            usb.libusb_get_device_descriptor(dev, ctypes.byref(d))
            port = _port_path(usb, dev)
            found.append((len(found), port, _serial(usb, dev, port, d.iSerialNumber)))

    _each_device(visit)
    return found


def attached_ids():
    """USB ids of the attached devices in libusb's order; empty when USB is
    not available."""
    ids = []
    _each_device(lambda usb, dev, id_: ids.append(id_))
    return ids


def _holders(path):
    """(pid, command) of the processes with the node at path open."""
    try:
        node = os.stat(path)
    except OSError:
        return []
    found = []
    for entry in os.listdir("/proc"):
        if not entry.isdigit():
            continue
        try:
            fds = os.listdir(f"/proc/{entry}/fd")
        except OSError:
            continue
        for fd in fds:
            try:
                st = os.stat(f"/proc/{entry}/fd/{fd}")
            except OSError:
                continue
            if (st.st_dev, st.st_ino) == (node.st_dev, node.st_ino):
                try:
                    with open(f"/proc/{entry}/comm") as f:
                        command = f.read().strip()
                except OSError:
                    command = "?"
                found.append((int(entry), command))
                break
    return sorted(found)


def _parent(pid):
    try:
        with open(f"/proc/{pid}/stat") as f:
            stat = f.read()
        return int(stat[stat.rindex(")") + 1:].split()[1])
    except (OSError, ValueError, IndexError):
        return 0


def in_use_text(what, path):
    """What to say of an adapter whose node another holds, as the library
    and the ycan tool say it: another program by pid and command (a program
    that started this one is named only when nobody else holds the node),
    or this program itself."""
    me = os.getpid()
    ancestors = []
    p = _parent(me)
    while p > 1 and len(ancestors) < 64:
        ancestors.append(p)
        p = _parent(p)
    holders = _holders(path)
    others = [h for h in holders if h[0] != me and h[0] not in ancestors]
    if others:
        return f"{what} is in use by another program (pid {others[0][0]}, {others[0][1]})"
    if any(h[0] == me for h in holders):
        return f"{what} is already open in this program"
    elders = sorted((ancestors.index(h[0]), h) for h in holders if h[0] in ancestors)
    if elders:
        pid, command = elders[0][1]
        return f"{what} is in use by another program (pid {pid}, {command})"
    return f"{what} is in use by another program"


def in_use_by(device_type, index, ids):
    """"TYPE:INDEX is in use by another program (pid N, COMMAND)" when
    another program holds the index-th adapter with USB ids `ids`; None
    when nobody does. Asks the kernel by claiming the adapter's interface,
    which writes nothing to it; a claim that succeeds is handed back."""
    seen = [0]

    def visit(usb, dev, id_):
        if id_ != ids:
            return None
        seen[0] += 1
        if seen[0] - 1 != index:
            return None
        handle = ctypes.c_void_p()
        if usb.libusb_open(dev, ctypes.byref(handle)) != 0:
            return ""
        claimed = usb.libusb_claim_interface(handle, 0)
        if claimed == 0:
            usb.libusb_release_interface(handle, 0)
        usb.libusb_close(handle)
        if claimed != _BUSY:
            return ""
        path = f"/dev/bus/usb/{usb.libusb_get_bus_number(dev):03d}/{usb.libusb_get_device_address(dev):03d}"
        return in_use_text(f"{device_type}:{index}", path)

    return _each_device(visit) or None
