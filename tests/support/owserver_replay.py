#!/usr/bin/env python3
"""Replays what Home Assistant's onewire integration and openHAB's OneWire
binding send an owserver, with their clients' own checks of every reply,
and compares the values with the simulated sensors.

    owserver_replay.py ha|openhab HOST PORT SENSOR...

Each SENSOR is "SERIAL FAMILY CELSIUS POWER" as tests/support/peer_programs.sh
lists them (the serial most significant byte first). Prints what it did;
exits 1 on the first difference, naming it.
"""
import re
import socket
import struct
import sys
import threading

NOP, READ, WRITE, DIR, PRESENCE, DIRALL, GET, DIRALLSLASH = 1, 2, 3, 4, 6, 7, 8, 9
BUS_RET, PERSISTENCE, UNCACHED, OWNET = 0x2, 0x4, 0x20, 0x100
MAX_PAYLOAD = 65536


class Failure(Exception):
    pass


class OwnetError(Exception):
    def __init__(self, code, path):
        super().__init__(f"[Errno {code}] {path}")
        self.code = code


class Connection:
    """One TCP connection, as pyownet, aio-ownet and openHAB read replies:
    version 0, pings (payload -1) skipped, payload at most 64 KiB, size
    within payload."""

    def __init__(self, host, port, timeout=3.0):
        self.sock = socket.create_connection((host, port), timeout=timeout)
        self.pings = 0

    def close(self):
        self.sock.close()

    def _read(self, n):
        data = b""
        while len(data) < n:
            chunk = self.sock.recv(n - len(data))
            if not chunk:
                raise Failure("the server closed the connection in a reply")
            data += chunk
        return data

    def send(self, msgtype, path=b"", flags=0, size=MAX_PAYLOAD, value=b""):
        payload = path + b"\0" + value if msgtype != NOP else b""
        if msgtype == WRITE:
            size = len(value)
        self.sock.sendall(struct.pack(">iiiiii", 0, len(payload), msgtype, flags, size, 0) + payload)

    def reply(self):
        while True:
            version, payload, ret, flags, size, offset = struct.unpack(">iiiiii", self._read(24))
            if payload < 0:
                self.pings += 1
                continue
            if version != 0:
                raise Failure(f"reply version {version}")
            if payload > MAX_PAYLOAD:
                raise Failure(f"reply payload {payload} above {MAX_PAYLOAD}")
            data = self._read(payload) if payload else b""
            # pyownet asserts this of a reply that has a payload.
            if payload > 0 and size > payload:
                raise Failure(f"reply size {size} above its payload {payload}")
            self.raw = data
            return ret, flags, data[:size] if payload > 0 else b"", offset, payload


class StatelessProxy:
    """pyownet's default proxy (Home Assistant): a connection per request,
    flags 0, no persistence."""

    def __init__(self, host, port):
        self.host, self.port = host, port
        self.errors = []

    def request(self, msgtype, path=b"", flags=0, size=MAX_PAYLOAD, value=b""):
        c = Connection(self.host, self.port, timeout=2.0)
        try:
            c.send(msgtype, path, flags, size, value)
            return c.reply()
        finally:
            c.close()

    def read(self, path):
        ret, _, data, _, _ = self.request(READ, path.encode())
        if ret < 0:
            raise OwnetError(-ret, path)
        if ret != len(data):
            raise Failure(f"read {path}: ret {ret} for {len(data)} bytes")
        return data

    def dirallslash(self, path):
        ret, _, data, _, _ = self.request(DIRALLSLASH, path.encode())
        if ret < 0:
            raise OwnetError(-ret, path)
        return data.decode().split(",") if data else []

    def write(self, path, value):
        ret, _, _, _, _ = self.request(WRITE, path.encode(), value=value)
        if ret < 0:
            raise OwnetError(-ret, path)


def owfs_id(serial, family):
    pairs = [serial[i:i + 2] for i in range(0, 12, 2)]
    return f"{family}.{''.join(reversed(pairs))}"


def expect(condition, what):
    if not condition:
        raise Failure(what)


def home_assistant(host, port, sensors):
    # aio-ownet's validate(): a connection that sends nothing.
    socket.create_connection((host, port), timeout=2.0).close()
    # pyownet's proxy(): NOP and the return codes on a persistent
    # connection, then a connection per request.
    first = Connection(host, port, timeout=2.0)
    first.send(NOP, flags=PERSISTENCE)
    ret, rflags, _, _, payload = first.reply()
    expect(ret == 0 and payload == 0 and first.pings == 0, f"NOP answered ret {ret}, payload {payload}")
    expect(rflags & PERSISTENCE, "persistence not granted to the first connection")
    first.send(READ, b"/settings/return_codes/text.ALL", PERSISTENCE)
    ret, _, data, _, _ = first.reply()
    first.close()
    codes = data.decode().split(",")
    proxy = StatelessProxy(host, port)
    expect(len(codes) == 211, f"{len(codes)} return codes")
    # Set-up: the devices, without bus_ret, then family and type of each.
    entries = proxy.dirallslash("/")
    for e in entries:
        expect(re.fullmatch(r"/[0-9A-F]{2}\.[0-9A-F]{12}/", e), f"root entry {e!r} is no device")
    ids = {owfs_id(s, f): (f, t) for s, f, t, _ in sensors}
    for want in ids:
        expect(f"/{want}/" in entries, f"{want} missing from {entries}")
    for e in entries:
        family = proxy.read(e + "family").decode()
        expect(family == e[1:3], f"{e}family read {family}")
        kind = proxy.read(e + "type").decode()
        expect(kind, f"{e}type is empty")
    # The poll: every sensor at once, each on its connection, as
    # PARALLEL_UPDATES = 0 does; the select entity's tempres with it.
    results, errors = {}, []

    def poll(sensor_id, prop):
        try:
            results[(sensor_id, prop)] = proxy.read(f"/{sensor_id}/{prop}")
        except Exception as e:  # noqa: BLE001 - every failure is reported
            errors.append(f"{sensor_id}/{prop}: {e}")

    threads = [threading.Thread(target=poll, args=(i, "temperature")) for i in ids]
    threads += [threading.Thread(target=poll, args=(i, "tempres")) for i, (f, _) in ids.items() if f == "28"]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    expect(not errors, f"poll failed: {errors}")
    for sensor_id, (family, celsius) in ids.items():
        value = float(results[(sensor_id, "temperature")].decode().lstrip())
        expect(abs(value - float(celsius)) < 0.001, f"{sensor_id} read {value}, simulated {celsius}")
        if family == "28":
            expect(int(results[(sensor_id, "tempres")].decode()) in (9, 10, 11, 12), f"{sensor_id} tempres")
    # The precision option and the select entity: temperature9 and a
    # resolution written.
    first = next(i for i, (f, _) in ids.items() if f == "28")
    proxy.write(f"/{first}/tempres", b"11")
    expect(int(proxy.read(f"/{first}/tempres").decode()) == 11, "tempres did not become 11")
    float(proxy.read(f"/{first}/temperature9").decode())
    proxy.write(f"/{first}/tempres", b"12")
    # An absent sensor: an error, never a value.
    try:
        proxy.read("/28.000000000001/temperature")
        raise Failure("an absent sensor was read")
    except OwnetError as e:
        expect(e.code > 0 and e.code < len(codes), f"error code {e.code}")
    print(f"home assistant: {len(entries)} devices set up, {len(ids)} temperatures polled at once")


def openhab(host, port, sensors):
    c = Connection(host, port, timeout=3.0)
    flags = OWNET | PERSISTENCE

    def request(msgtype, path, extra=0, value=b""):
        c.send(msgtype, path.encode(), flags | extra, 0x10000, value)
        ret, rflags, data, _, payload = c.reply()
        # openHAB's check of every reply: the ownet bit, and persistence
        # granted (else it must reconnect).
        expect(rflags & OWNET, f"{path}: reply flags {rflags:#x} without ownet")
        expect(rflags & PERSISTENCE, f"{path}: persistence not granted")
        return ret, data, payload

    ret, data, _ = request(DIRALL, "/")
    expect(ret >= 0, f"DIRALL / gave {ret}")
    pattern = re.compile(r"^/?((1F\.[0-9A-F]{12}/(main|aux)/)+)?[0-9A-F]{2}\.[0-9A-F]{12}$")
    found = [e for e in data.decode().rstrip("\0").split(",") if pattern.match(e)]
    ids = {owfs_id(s, f): (f, t) for s, f, t, _ in sensors}
    for want in ids:
        expect(f"/{want}" in found, f"{want} not discovered in {found}")
    for path in found:
        ret, data, _ = request(READ, path + "/type")
        expect(ret > 0 and data, f"{path}/type gave {ret}")
    for sensor_id, (family, celsius) in ids.items():
        path = "/" + sensor_id
        ret, _, payload = request(PRESENCE, path, UNCACHED)
        expect(ret == 0 and payload == 8, f"presence {path}: ret {ret}, payload {payload}")
        data = c.raw
        _, address, _ = request(READ, path + "/address")
        expect(data.hex().upper() == address.decode(), f"presence gave {data.hex()} for address {address}")
        prop = "temperature" if family != "28" else "temperature12"
        ret, value, _ = request(READ, f"{path}/{prop}")
        expect(ret > 0, f"{path}/{prop} gave {ret}")
        got = float(value.decode().strip().rstrip("\0"))
        expect(abs(got - float(celsius)) < 0.001, f"{sensor_id} read {got}, simulated {celsius}")
    ret, pid, _ = request(READ, "/system/process/pid")
    expect(ret > 0 and int(pid.decode()) > 0, f"/system/process/pid gave {ret}")
    c.close()
    print(f"openhab: {len(found)} devices discovered, {len(ids)} read on one persistent connection")


def main():
    if len(sys.argv) < 5:
        print(__doc__)
        return 2
    mode, host, port = sys.argv[1], sys.argv[2], int(sys.argv[3])
    sensors = [tuple(s.split()) for s in sys.argv[4:]]
    try:
        (home_assistant if mode == "ha" else openhab)(host, port, sensors)
    except (Failure, OwnetError, OSError) as e:
        print(f"FAIL: {mode}: {e}")
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
