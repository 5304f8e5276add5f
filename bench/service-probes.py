#!/usr/bin/env python3
"""Probes of kivopro-service and kivopro-remove as a user and an attacker would run them.

    python3 bench/service-probes.py [--build DIR] [--only N,N]

Starts its own kivopro-service on loopback (SQLite in a temporary folder; the model must be
prepared), runs each probe once and prints one line per check: PASS or FAIL with the figures.
Exits 1 when a check fails. Every probe is bounded in bytes and time (about three minutes in
all on two cores). Python's standard library only.
"""

import argparse
import hashlib
import json
import os
import re
import signal
import socket
import sqlite3
import subprocess
import sys
import tempfile
import threading
import time
import urllib.request
import uuid

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
FAILURES = []
STARTED = []


def check(name, ok, detail=""):
    print(("PASS " if ok else "FAIL ") + name + (": " + detail if detail else ""), flush=True)
    if not ok:
        FAILURES.append(name)


class Service:
    """kivopro-service as a child process with a data folder of its own."""

    def __init__(self, binary, data, extra=(), env=None):
        self.data = data
        self.log = open(data + f".{time.time_ns()}.log", "w+")
        self.binary = binary
        self.process = subprocess.Popen([binary, "--port", "0", "--data", data, *extra], stdout=self.log,
                                        stderr=subprocess.STDOUT, env=env)
        STARTED.append(self)
        self.port = None
        deadline = time.time() + 30
        while time.time() < deadline and self.process.poll() is None:
            match = re.search(r"listening on http://127\.0\.0\.1:(\d+)", self.output())
            if match:
                self.port = int(match.group(1))
                break
            time.sleep(0.05)

    def output(self):
        self.log.flush()
        with open(self.log.name) as log:
            return log.read()

    def wait_for_line(self, text, timeout=120):
        deadline = time.time() + timeout
        while time.time() < deadline and text not in self.output():
            time.sleep(0.1)
        return text in self.output()

    def memory_mib(self, field="VmRSS"):
        """Resident memory now, or its peak so far with field="VmHWM"."""
        with open(f"/proc/{self.process.pid}/status") as status:
            for line in status:
                if line.startswith(field + ":"):
                    return int(line.split()[1]) / 1024
        return 0

    def peak_memory_mib(self):
        return self.memory_mib("VmHWM")

    def stop(self, sig=signal.SIGTERM):
        if self.process.poll() is None:
            self.process.send_signal(sig)
            self.process.wait(30)


def request(port, method, path, body=None, headers=None, timeout=120):
    """(status, headers, body, seconds) of one request; status -1 when the connection failed."""
    started = time.time()
    req = urllib.request.Request(f"http://127.0.0.1:{port}{path}", data=body, method=method, headers=headers or {})
    try:
        with urllib.request.urlopen(req, timeout=timeout) as answer:
            return answer.status, dict(answer.headers), answer.read(), time.time() - started
    except urllib.error.HTTPError as error:
        return error.code, dict(error.headers), error.read(), time.time() - started
    except OSError:
        return -1, {}, b"", time.time() - started


def multipart(image, name="photo.png", content_type="image/png"):
    boundary = "Boundary-" + str(uuid.uuid4()).upper()
    body = (f"--{boundary}\r\nContent-Disposition: form-data; name=\"return_type\"\r\n\r\nbase64\r\n"
            f"--{boundary}\r\nContent-Disposition: form-data; name=\"image\"; filename=\"{name}\"\r\n"
            f"Content-Type: {content_type}\r\n\r\n").encode() + image + f"\r\n--{boundary}--\r\n".encode()
    return body, {"Content-Type": f"multipart/form-data; boundary={boundary}"}


def removal(port, key, image, timeout=120):
    body, headers = multipart(image)
    headers["X-API-KEY"] = key
    return request(port, "POST", "/v1.0.1/remove_background?site_url=kivo-pro-macos", body, headers, timeout)


def account(port, key):
    status, _, body, _ = request(port, "POST", "/api/app/login", json.dumps({"api_key": key, "app_id": 1}).encode(),
                                 {"Content-Type": "application/json"})
    return json.loads(body) if status == 200 else {}


def transactions(port, key):
    status, _, body, seconds = request(port, "GET", f"/api/transactions?page=1&limit=20&app_id=1&api_key={key}")
    return (json.loads(body) if status == 200 else {}), seconds


def state(port, key):
    """(credits, number of transactions) of an account."""
    return account(port, key).get("credits"), transactions(port, key)[0]["pagination"]["total_count"]


def state_after_restart(binary, data, key):
    again = Service(binary, data)
    found = state(again.port, key)
    again.stop()
    return found


def flood(port, head, filler, limit):
    """Sends head, then filler until the server answers or limit bytes are out."""
    connection = socket.create_connection(("127.0.0.1", port))
    connection.setblocking(False)
    sent, answer, started = 0, b"", time.time()
    pending = head
    while sent < limit and time.time() - started < 60:
        try:
            answer = connection.recv(200)
            if answer:
                break
        except BlockingIOError:
            pass
        except OSError:
            break
        try:
            done = connection.send(pending)
            sent += done
            pending = pending[done:] or filler
        except BlockingIOError:
            time.sleep(0.001)
        except OSError:
            break
    connection.setblocking(True)
    connection.settimeout(5)
    try:
        answer = answer or connection.recv(200)
    except OSError:
        pass
    connection.close()
    return answer.split(b"\r\n")[0].decode(errors="replace"), sent, time.time() - started


def probe_headers(service):
    before = service.peak_memory_mib()
    cases = [
        ("300 MB header line", b"GET / HTTP/1.1\r\nHost: x\r\nX-Big: ", b"a" * 65536, "431"),
        ("300,000 header lines", b"GET / HTTP/1.1\r\nHost: x\r\n", b"X-A: b\r\n" * 8192, "431"),
        ("300 MB request line", b"GET /", b"a" * 65536, "414"),
    ]
    for name, head, filler, expected in cases:
        status, sent, seconds = flood(service.port, head, filler, 300 << 20)
        check(f"1 {name}: answered {expected} at once", expected in status,
              f"'{status}' after {sent / 2**20:.1f} MiB sent, {seconds:.2f} s")
    check("1 server peak memory stays flat during header floods", service.peak_memory_mib() - before < 50,
          f"peak {before:.0f} -> {service.peak_memory_mib():.0f} MiB")


def probe_bodies(service):
    before = service.peak_memory_mib()
    results = []

    def upload_without_key():
        results.append(flood(service.port, b"POST /v1.0.1/remove_background HTTP/1.1\r\nHost: x\r\n"
                             b"Content-Type: multipart/form-data; boundary=B\r\nContent-Length: 49000000\r\n\r\n",
                             b"z" * 65536, 49_000_000))

    threads = [threading.Thread(target=upload_without_key) for _ in range(8)]
    [thread.start() for thread in threads]
    [thread.join() for thread in threads]
    check("2 eight 49 MB uploads without a key: 401 before the body", all("401" in r[0] for r in results),
          ", ".join(f"{r[0].split(' ')[1] if ' ' in r[0] else r[0]} after {r[1] / 2**20:.1f} MiB" for r in results))
    status, sent, seconds = flood(service.port, b"POST /v1.0.1/remove_background HTTP/1.1\r\nHost: x\r\nX-API-KEY: "
                                  + service.key.encode() + b"\r\nContent-Type: multipart/form-data; boundary=B\r\n"
                                  b"Content-Length: 600000000\r\n\r\n", b"z" * 65536, 600_000_000)
    check("2 Content-Length 600 MB: 413 at once", "413" in status, f"'{status}' after {sent / 2**20:.1f} MiB, {seconds:.2f} s")
    chunk = b"10000\r\n" + b"z" * 0x10000 + b"\r\n"
    status, sent, seconds = flood(service.port, b"POST /v1.0.1/remove_background HTTP/1.1\r\nHost: x\r\nX-API-KEY: "
                                  + service.key.encode() + b"\r\nContent-Type: multipart/form-data; boundary=B\r\n"
                                  b"Transfer-Encoding: chunked\r\n\r\n", chunk, 300 << 20)
    check("2 endless chunked body: 413 at the 50 MB limit", "413" in status,
          f"'{status}' after {sent / 2**20:.1f} MiB, {seconds:.2f} s")
    check("2 server peak memory during the uploads", service.peak_memory_mib() - before < 200,
          f"peak {before:.0f} -> {service.peak_memory_mib():.0f} MiB")


def probe_slow_clients(service, count, interval):
    stop = threading.Event()
    connections = []
    for _ in range(count):
        connection = socket.create_connection(("127.0.0.1", service.port))
        connection.sendall(b"GET / HTTP/1.1\r\nHost: x\r\n")
        connections.append(connection)

    def trickle():
        while not stop.wait(interval):
            for connection in connections:
                try:
                    connection.sendall(b"X-Slow: 1\r\n")
                except OSError:
                    pass

    thread = threading.Thread(target=trickle)
    thread.start()
    time.sleep(interval + 0.5)
    status, _, _, seconds = request(service.port, "GET", "/", timeout=20)
    check(f"3 {count} connections sending a header line every {interval:g} s: GET / answered within 1 s",
          status == 200 and seconds < 1, f"{status} in {seconds * 1000:.0f} ms")
    time.sleep(11)
    closed = 0
    for connection in connections:
        connection.settimeout(0.5)
        try:
            closed += connection.recv(100) == b""
        except OSError:
            closed += 1
    stop.set()
    thread.join()
    [connection.close() for connection in connections]
    check(f"3 the {count} trickling connections are cut off after the 10 s header time", closed == count,
          f"{closed} of {count} closed")


def probe_queue(service, image):
    answers = []
    threads = [threading.Thread(target=lambda: answers.append(removal(service.port, service.key, image)))
               for _ in range(20)]
    [thread.start() for thread in threads]
    time.sleep(1.0)
    refused = removal(service.port, "probe-empty-key", image)
    listing, listing_seconds = transactions(service.port, service.key)
    signin_started = time.time()
    signed_in = account(service.port, service.key)
    signin_seconds = time.time() - signin_started
    [thread.join() for thread in threads]
    statuses = sorted(a[0] for a in answers)
    busy = [a for a in answers if a[0] == 503]
    check("4 twenty removals at once: 200s, and 503 with Retry-After beyond the queue",
          set(statuses) <= {200, 503} and all("Retry-After" in a[1] for a in busy),
          f"{statuses.count(200)} x 200, {len(busy)} x 503 (Retry-After {sorted({a[1].get('Retry-After') for a in busy})})")
    check("4 a refusal for lack of credits while they run", refused[0] == 402 and refused[3] < 0.5,
          f"{refused[0]} in {refused[3] * 1000:.0f} ms")
    check("4 GET /api/transactions while they run", bool(listing) and listing_seconds < 0.5,
          f"{listing_seconds * 1000:.0f} ms")
    check("4 sign-in while they run", bool(signed_in) and signin_seconds < 0.5, f"{signin_seconds * 1000:.0f} ms")
    return statuses.count(200)


def probe_kill(binary, data, key, image):
    service = Service(binary, data)
    before = state(service.port, key)
    answered = []
    thread = threading.Thread(target=lambda: answered.append(removal(service.port, key, image)))
    thread.start()
    time.sleep(0.6)
    service.stop(signal.SIGKILL)
    thread.join()
    after = state_after_restart(binary, data, key)
    check("5 kill -9 during the inference: no credit lost, no transaction half-written",
          answered[0][0] == -1 and after == before, f"(credits, transactions) {before} -> {after}")


def probe_failed_writes(binary, data, key, image):
    service = Service(binary, data)
    before = state(service.port, key)
    # Another writer holds the database longer than the service waits for it.
    database = sqlite3.connect(os.path.join(data, "kivopro-service.sqlite"), timeout=10, isolation_level=None)
    database.execute("BEGIN EXCLUSIVE")
    status, headers, body, _ = removal(service.port, key, image)
    database.execute("ROLLBACK")
    database.close()
    logged = "[kivopro-service] database error" in service.output()
    check("6 a write the database refuses: 503 with Retry-After and a log line, no cut-out",
          status == 503 and "Retry-After" in headers and b"image_base64" not in body and logged,
          f"{status} {body[:80]!r}, logged: {logged}")
    # Previews that cannot be written.
    images = os.path.join(data, "images")
    os.rename(images, images + ".away")
    with open(images, "w") as blocker:
        blocker.write("not a folder")
    status, headers, body, _ = removal(service.port, key, image)
    os.remove(images)
    os.rename(images + ".away", images)
    logged = "cannot store the previews" in service.output()
    check("6 previews that cannot be stored: 503 and a log line", status == 503 and logged, f"{status}, logged: {logged}")
    service.stop()
    after = state_after_restart(binary, data, key)
    check("6 after a restart nothing was claimed that is not stored", after == before,
          f"(credits, transactions) {before} -> {after}")


def probe_privacy(service):
    listing, _ = transactions(service.port, service.key)
    rows = [row for row in listing["transactions"] if row.get("origin_image")]
    row = rows[0]
    guessed = [request(service.port, "GET", path)[0]
               for path in ["/transactions/1", "/transactions/2", "/transactions/3",
                            f"/images/{uuid.uuid4()}.png", "/images/1.png"]]
    check("7 sequential transaction pages and guessed image names are not found", set(guessed) == {404}, str(guessed))
    ids = re.fullmatch(r"[0-9a-f]{32}", str(row["id"])) is not None
    names = all(re.fullmatch(r"/images/[0-9a-f]{32}\.png", row[key]) for key in ("origin_image", "output_image"))
    check("7 pages and images are named by 128 random bits", ids and names,
          f"id {row['id']}, images {row['origin_image']} {row['output_image']}")
    page = request(service.port, "GET", f"/transactions/{row['id']}")[0]
    image = request(service.port, "GET", row["origin_image"])[0]
    check("7 whoever has the link opens them", page == 200 and image == 200, f"page {page}, image {image}")
    folder = os.path.join(service.data, "images")
    modes = {oct(os.stat(os.path.join(folder, name)).st_mode & 0o777) for name in os.listdir(folder)}
    check("7 stored images are 0600 in a 0700 folder", modes == {"0o600"} and os.stat(folder).st_mode & 0o777 == 0o700,
          f"files {sorted(modes)}, folder {oct(os.stat(folder).st_mode & 0o777)}")


def probe_telemetry(build, work, image_path):
    tmp = os.path.join(work, "tmpdir")
    home = os.path.join(work, "home")
    os.makedirs(tmp)
    os.makedirs(home)
    env = dict(os.environ, TMPDIR=tmp, HOME=home, XDG_CACHE_HOME=os.path.join(home, ".cache"),
               XDG_DATA_DIRS=os.environ.get("XDG_DATA_DIRS", "") + ":" + os.path.expanduser("~/.local/share"))
    run = subprocess.run([os.path.join(build, "tools", "kivopro-remove"), "-o", os.path.join(work, "tele-out"),
                          image_path], env=env, capture_output=True, text=True)
    left = os.listdir(tmp) + os.listdir(home)
    check("8 loading the model leaves nothing in TMPDIR or ~/.cache", run.returncode == 0 and not left,
          f"exit {run.returncode}, left behind: {left}")
    traced = subprocess.run(["strace", "-f", "-e", "trace=socket,connect", "-o", os.path.join(work, "trace"),
                             os.path.join(build, "tools", "kivopro-remove"), "-o", os.path.join(work, "tele-out"),
                             image_path], env=env, capture_output=True) if os.path.exists("/usr/bin/strace") else None
    if traced:
        with open(os.path.join(work, "trace")) as trace:
            sockets = [line for line in trace if "AF_INET" in line]
        check("8 and opens no network socket (strace)", not sockets, f"{len(sockets)} AF_INET sockets")


def probe_remove_tool(build, work, jpeg):
    tool = os.path.join(build, "tools", "kivopro-remove")
    folder = os.path.join(work, "tool")
    os.makedirs(os.path.join(folder, "a"))
    with open(jpeg, "rb") as source:
        data = source.read()
    truncated = os.path.join(folder, "cut.jpg")
    with open(truncated, "wb") as target:
        target.write(data[: len(data) // 2])
    run = subprocess.run([tool, "-o", os.path.join(folder, "out"), truncated], capture_output=True, text=True)
    check("9 a truncated JPEG is refused with a clear message", run.returncode == 1 and "truncated" in run.stderr
          and not os.path.exists(os.path.join(folder, "out", "cut_no_bg.png")), run.stderr.strip()[:120])
    first = os.path.join(folder, "pic.jpg")
    second = os.path.join(folder, "a", "pic.png")
    subprocess.run(["cp", jpeg, first], check=True)
    subprocess.run(["convert", jpeg, second], check=True)
    heic = os.path.join(folder, "new\nline.heic")
    subprocess.run(["convert", jpeg, heic], check=True)
    run = subprocess.run([tool, "-o", os.path.join(folder, "out"), first, second, heic], capture_output=True, text=True)
    outputs = sorted(os.listdir(os.path.join(folder, "out")))
    check("9 -o out pic.jpg pic.png writes pic_no_bg.png and pic_no_bg-2.png",
          "pic_no_bg.png" in outputs and "pic_no_bg-2.png" in outputs, str(outputs))
    check("9 HEIC is read", "new\nline_no_bg.png" in outputs, str(outputs))
    lines = run.stdout.splitlines()
    check("9 results on standard output, one line per input, names escaped",
          len(lines) == 3 and "new\\nline.heic" in lines[2] and run.returncode == 0, repr(run.stdout[-160:]))


# -- second round: file formats, framing, fairness, the database, credentials --

def small_png(work, size="96x64"):
    path = os.path.join(work, f"small-{size}.png")
    if not os.path.exists(path):
        subprocess.run(["convert", os.path.join(ROOT, "tests", "data", "coffee.jpg"), "-resize", size + "!", path], check=True)
    with open(path, "rb") as file:
        return file.read()


def gif_bomb():
    """A GIF whose screen is 10000 x 10000 around one 1 x 1 frame: 29 bytes."""
    screen = b"GIF89a" + (10000).to_bytes(2, "little") * 2 + b"\x00\x00\x00"
    frame = b"\x2c" + b"\x00\x00" * 2 + b"\x01\x00" * 2 + b"\x00" + b"\x02\x02\x44\x01\x00"
    return screen + frame + b"\x3b"


def jpeg_bomb(work, keep_scan):
    """An 8 x 8 JPEG whose frame header declares 10000 x 10000, with or without its scan data."""
    path = os.path.join(work, "tiny.jpg")
    subprocess.run(["convert", "-size", "8x8", "xc:gray", "-strip", path], check=True)
    with open(path, "rb") as file:
        data = bytearray(file.read())
    sof = data.find(b"\xff\xc0")
    data[sof + 5:sof + 9] = (10000).to_bytes(2, "big") * 2
    if not keep_scan:
        sos = data.find(b"\xff\xda")
        data = data[:sos + 2 + int.from_bytes(data[sos + 2:sos + 4], "big")] + b"\xff\xd9"
    return bytes(data)


def png_bomb():
    """A 1-bit 16000 x 16000 PNG of one colour: about 31 KB."""
    import struct
    import zlib
    def chunk(kind, payload):
        return struct.pack(">I", len(payload)) + kind + payload + struct.pack(">I", zlib.crc32(kind + payload))
    width = height = 16000
    raw = (b"\x00" + b"\x00" * (width // 8)) * height
    return (b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", struct.pack(">IIBBBBB", width, height, 1, 0, 0, 0, 0))
            + chunk(b"IDAT", zlib.compress(raw, 9)) + chunk(b"IEND", b""))


def raw_exchange(port, data, shut_write=False, timeout=10):
    """The first line of the answer to raw bytes, and the seconds it took."""
    started = time.time()
    connection = socket.create_connection(("127.0.0.1", port))
    connection.settimeout(timeout)
    answer = b""
    try:
        connection.sendall(data)
        if shut_write:
            connection.shutdown(socket.SHUT_WR)
        while True:
            piece = connection.recv(65536)
            if not piece:
                break
            answer += piece
            if not shut_write and b"\r\n\r\n" in answer and not answer.startswith(b"HTTP/1.1 100"):
                break
    except OSError:
        pass
    connection.close()
    return answer, time.time() - started


def first_line(answer):
    lines = [line for line in answer.split(b"\r\n") if line.startswith(b"HTTP/")]
    finals = [line for line in lines if not line.startswith(b"HTTP/1.1 100")]
    return (finals or lines or [b""])[0].decode(errors="replace")


def probe_formats(service, work):
    """B1: only the photo formats, by content; an SVG never reads a file of the server."""
    secret = os.path.join(work, "server-secret.png")
    subprocess.run(["convert", "-size", "64x64", "xc:red", secret], check=True)
    svg = (f'<svg xmlns="http://www.w3.org/2000/svg" xmlns:xlink="http://www.w3.org/1999/xlink" width="400" '
           f'height="300"><image xlink:href="{secret}" width="400" height="300"/></svg>').encode()
    files = {"svg": svg}
    for kind in ["ico", "tga", "xpm", "pbm", "mng"]:
        path = os.path.join(work, "photo." + kind)
        subprocess.run(["convert", os.path.join(ROOT, "tests", "data", "coffee.jpg"), "-resize", "64x64", path], check=True)
        with open(path, "rb") as file:
            files[kind] = file.read()
    before = state(service.port, service.key)
    statuses = {kind: removal(service.port, service.key, data)[0] for kind, data in files.items()}
    after = state(service.port, service.key)
    check("B1 SVG (naming a file of the server), ICO, TGA, XPM, PBM and MNG are refused 400, nothing charged",
          set(statuses.values()) == {400} and before == after, f"{statuses}, credits/transactions {before} -> {after}")
    tool = os.path.join(os.path.dirname(os.path.dirname(service.binary)), "tools", "kivopro-remove")
    path = os.path.join(work, "photo.png")
    with open(path, "wb") as file:
        file.write(svg)
    run = subprocess.run([tool, "-o", os.path.join(work, "svg-out"), path], capture_output=True, text=True)
    check("B1 kivopro-remove refuses an SVG named .png", run.returncode == 1 and "not an image" in run.stderr
          and not os.listdir(os.path.join(work, "svg-out")), run.stderr.strip()[:140])


def probe_framing(service):
    """B2 and B10: bounded chunk lines, strict framing, a log line for each refusal."""
    before = service.peak_memory_mib()
    status, sent, seconds = flood(service.port, b"POST /api/app/login HTTP/1.1\r\nHost: x\r\nTransfer-Encoding: chunked\r\n\r\n2;e=",
                                  b"a" * 65536, 256 << 20)
    check("B2 a chunk line that never ends: 400, nothing buffered (the answer is read once the socket buffers fill)",
          "400" in status and sent < 8 << 20 and service.peak_memory_mib() - before < 20,
          f"'{status}' after {sent / 1024:.0f} KiB, {seconds:.2f} s, peak memory +{service.peak_memory_mib() - before:.0f} MiB")
    trailer = b"POST /api/app/login HTTP/1.1\r\nHost: x\r\nTransfer-Encoding: chunked\r\n\r\n2\r\n{}\r\n0\r\nX-T: "
    status, sent, seconds = flood(service.port, trailer, b"a" * 65536, 256 << 20)
    check("B2 a trailer that never ends: 400", "400" in status and sent < 8 << 20, f"'{status}' after {sent / 1024:.0f} KiB")
    many = b"GET / HTTP/1.1\r\nHost: x\r\n" + b"".join(b"X-%d: 1\r\n" % i for i in range(500)) + b"\r\n"
    login = b"POST /api/app/login HTTP/1.1\r\nHost: x\r\n"
    cases = [
        ("500 header lines", many, "431"),
        ("Transfer-Encoding: chunked, identity", login + b"Transfer-Encoding: chunked, identity\r\n\r\n", "400"),
        ("Transfer-Encoding: gzip, chunked", login + b"Transfer-Encoding: gzip, chunked\r\n\r\n0\r\n\r\n", "501"),
        ("xchunked with a Content-Length", login + b"Transfer-Encoding: xchunked\r\nContent-Length: 2\r\n\r\n{}", "400"),
        ("chunked and Content-Length", login + b"Transfer-Encoding: chunked\r\nContent-Length: 2\r\n\r\n{}", "400"),
        ("Transfer-Encoding in HTTP/1.0", b"POST /api/app/login HTTP/1.0\r\nHost: x\r\nTransfer-Encoding: chunked\r\n\r\n0\r\n\r\n", "400"),
        ("no Host", b"GET / HTTP/1.1\r\n\r\n", "400"),
        ("two Host headers", b"GET / HTTP/1.1\r\nHost: a\r\nHost: b\r\n\r\n", "400"),
        ("a chunk size that is not hexadecimal", login + b"Transfer-Encoding: chunked\r\n\r\nzz\r\n{}\r\n0\r\n\r\n", "400"),
        ("a chunk size beyond 64 bits", login + b"Transfer-Encoding: chunked\r\n\r\n1ffffffffffffffff\r\n{}\r\n", "400"),
    ]
    for name, data, expected in cases:
        lines_before = service.output().count("\n")
        answer, seconds = raw_exchange(service.port, data)
        time.sleep(0.2)
        logged = [line for line in service.output().splitlines()[lines_before:] if f" {expected} " in line]
        check(f"B10 {name}: {expected} and a log line", first_line(answer).split(" ")[1:2] == [expected] and bool(logged),
              f"'{first_line(answer)}' in {seconds * 1000:.0f} ms, log: {logged[-1] if logged else 'none'}")


def stalled_uploads(port, key, count, expect_continue):
    """Removal requests whose bodies stop after their first KiB (or never start)."""
    connections = []
    for _ in range(count):
        connection = socket.create_connection(("127.0.0.1", port))
        head = (f"POST /v1.0.1/remove_background HTTP/1.1\r\nHost: x\r\nX-API-KEY: {key}\r\n"
                f"Content-Type: multipart/form-data; boundary=B\r\nContent-Length: 1000000\r\n"
                + ("Expect: 100-continue\r\n" if expect_continue else "") + "\r\n").encode()
        connection.sendall(head if expect_continue else head + b"--B\r\n" + b"a" * 1024)
        connections.append(connection)
    return connections


def probe_fair_queue(service, work, other_key):
    """B3: places only for arrived bodies, a fair share per account."""
    image = small_png(work)
    held = stalled_uploads(service.port, service.key, 16, False) + stalled_uploads(service.port, service.key, 8, True)
    time.sleep(1)
    status, headers, _, seconds = removal(service.port, other_key, image)
    check("B3 16 stalled uploads and 8 Expect: 100-continue heads of one account: another account's removal is served",
          status == 200, f"{status} in {seconds:.1f} s")
    for connection in held:
        connection.close()
    results = []
    threads = [threading.Thread(target=lambda: results.append(removal(service.port, service.key, image)[0])) for _ in range(10)]
    for thread in threads:
        thread.start()
    time.sleep(0.5)
    other = removal(service.port, other_key, image)[0]
    for thread in threads:
        thread.join()
    check("B3 ten removals of one account at once take at most a quarter of the 16 places; another account is served",
          results.count(503) >= 6 and results.count(200) >= 1 and other == 200,
          f"{sorted(results)}, other account {other}")


def probe_log_forgery(service):
    """B6: a query cannot rewrite the fields of its log line."""
    request(service.port, "GET", "/?x=%3C%25n%3E")
    time.sleep(0.2)
    lines = [line for line in service.output().splitlines() if "GET /?x=" in line]
    check("B6 ?x=%3C%25n%3E leaves the status and size fields of its log line in place",
          bool(lines) and re.search(r"GET /\?x=%3C%25n%3E 200 \d+ bytes$", lines[-1]) is not None,
          lines[-1] if lines else "no line")


def probe_bombs(service, work, one_credit_key):
    """B7: budgets from the headers; 402 decided before the model runs."""
    before = service.peak_memory_mib()
    cases = [("a 29-byte GIF with a 10000 x 10000 screen", gif_bomb()),
             ("a JPEG declaring 10000 x 10000 with no scan data", jpeg_bomb(work, False)),
             ("a JPEG declaring 10000 x 10000 with 8 x 8 worth of scan data", jpeg_bomb(work, True)),
             ("a 31 KB 1-bit PNG of 16000 x 16000", png_bomb())]
    for name, data in cases:
        status, _, body, seconds = removal(service.port, service.key, data)
        check(f"B7 {name} ({len(data)} bytes): 400 at once", status == 400 and seconds < 2,
              f"{status} in {seconds * 1000:.0f} ms: {body[:110].decode(errors='replace')}")
    check("B7 server peak memory during the bombs", service.peak_memory_mib() - before < 100,
          f"+{service.peak_memory_mib() - before:.0f} MiB")
    image = small_png(work)
    answers = []
    first = threading.Thread(target=lambda: answers.append(removal(service.port, one_credit_key, image)))
    first.start()
    time.sleep(0.3)
    status, _, _, seconds = removal(service.port, one_credit_key, image)
    first.join()
    check("B7 one credit, two removals at once: the second is refused 402 before the model runs",
          status == 402 and seconds < 1 and answers[0][0] == 200, f"second {status} in {seconds * 1000:.0f} ms, first {answers[0][0]}")
    status, sent, seconds = flood(service.port, (f"POST /v1.0.1/remove_background HTTP/1.1\r\nHost: x\r\nX-API-KEY: {one_credit_key}\r\n"
                                                 "Content-Type: multipart/form-data; boundary=B\r\nContent-Length: 40000000\r\n\r\n").encode(),
                                  b"a" * 65536, 40 << 20)
    check("B7 no credits left: 402 from the head, the body is not read", "402" in status and sent < 8 << 20,
          f"'{status}' after {sent / 2**20:.1f} MiB, {seconds * 1000:.0f} ms")


def probe_half_close(service, work):
    """B8: a client that shuts its sending side still gets its cut-out."""
    body, headers = multipart(small_png(work))
    head = (f"POST /v1.0.1/remove_background HTTP/1.1\r\nHost: x\r\nX-API-KEY: {service.key}\r\n"
            f"Content-Type: {headers['Content-Type']}\r\nContent-Length: {len(body)}\r\nConnection: close\r\n\r\n").encode()
    answer, seconds = raw_exchange(service.port, head + body, shut_write=True, timeout=120)
    check("B8 a request followed by shutdown(SHUT_WR) is answered 200 with the cut-out",
          first_line(answer) == "HTTP/1.1 200 OK" and b"image_base64" in answer, f"'{first_line(answer)}' in {seconds:.1f} s")


def probe_postgres(binary, work, legacy):
    """B4 and B9: a hung database holds only what needs it; a restarted one costs no request."""
    folder = os.path.join(work, "pg")
    os.makedirs(work, exist_ok=True)
    os.chmod(work, 0o711)
    started = subprocess.run(["bash", os.path.join(ROOT, "tools", "pg-throwaway.sh"), "start", folder], capture_output=True, text=True)
    if started.returncode != 0:
        check("B4 a throwaway PostgreSQL starts", False, started.stderr.strip()[:200])
        return
    address = started.stdout.strip()
    try:
        service = Service(binary, os.path.join(work, "pg-service"), ["--database", address, "--accounts", legacy])
        port = service.port
        check("B4 the service starts on PostgreSQL", bool(port), service.output()[-300:])
        if not port:
            return
        account(port, "probe-key")
        subprocess.run(["bash", os.path.join(ROOT, "tools", "pg-throwaway.sh"), "signal", folder, "STOP"], check=True)
        try:
            # More requests that need the database than there are workers for them.
            results = []
            def bad_key():
                results.append(request(port, "POST", "/v1.0.1/remove_background", b"x", {"X-API-KEY": "wrong"}, timeout=60))
            waiting = [threading.Thread(target=bad_key) for _ in range(12)]
            for thread in waiting:
                thread.start()
            time.sleep(0.5)
            page = request(port, "GET", "/", timeout=30)
            missing = request(port, "GET", "/api/transactions", timeout=30)
            for thread in waiting:
                thread.join()
            slowest = max(result[3] for result in results)
            check("B4 database stopped (SIGSTOP), 12 requests waiting for it: GET / and a refusal from the head answer at once",
                  page[0] == 200 and page[3] < 1 and missing[0] == 401 and missing[3] < 1,
                  f"GET / {page[0]} in {page[3] * 1000:.0f} ms, no key {missing[0]} in {missing[3] * 1000:.0f} ms")
            check("B4 database stopped: the 12 removals that need it get 503 with Retry-After, none waits past 20 s",
                  all(r[0] == 503 and "Retry-After" in r[1] for r in results) and slowest < 20,
                  f"{sorted(r[0] for r in results)}, slowest {slowest:.1f} s")
        finally:
            subprocess.run(["bash", os.path.join(ROOT, "tools", "pg-throwaway.sh"), "signal", folder, "CONT"], check=True)
        time.sleep(1)
        subprocess.run(["bash", os.path.join(ROOT, "tools", "pg-throwaway.sh"), "restart", folder],
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, check=True, timeout=60)
        statuses = [len(account(port, "probe-key")) > 0 for _ in range(6)]
        check("B9 after a PostgreSQL restart the next sign-ins all succeed", all(statuses), str(statuses))
        service.stop()
    finally:
        subprocess.run(["bash", os.path.join(ROOT, "tools", "pg-throwaway.sh"), "stop", folder], capture_output=True)


def probe_credentials(binary, work, legacy):
    """B5: Argon2id, no API key in the database, failed sign-ins limited."""
    data = os.path.join(work, "credentials")
    service = Service(binary, data, ["--accounts", legacy])
    port = service.port
    database_path = os.path.join(data, "kivopro-service.sqlite")

    def stored(email):
        database = sqlite3.connect(database_path)
        row = database.execute("SELECT password_sha256, password_hash FROM accounts WHERE email = ?", (email,)).fetchone()
        everything = repr(database.execute("SELECT * FROM accounts").fetchall())
        database.close()
        return row, everything

    before, everything = stored("legacy@example.org")
    check("B5 no API key in the database (a keyed digest and an encrypted copy)",
          all(key not in everything for key in ["probe-key", "probe-other-key", "probe-one-key", "probe-legacy-key"]),
          everything[:160])
    timings = []
    for _ in range(5):
        status, _, body, seconds = request(port, "POST", "/api/app/login",
                                           json.dumps({"email": "legacy@example.org", "password": "pw"}).encode())
        timings.append(seconds)
    timings.sort()
    after, _ = stored("legacy@example.org")
    check("B5 an account stored with salted SHA-256 moves to Argon2id at its next sign-in, and still gets its key",
          before[1] is None and len(before[0]) == 64 and str(after[1]).startswith("$argon2id$") and after[0] == ""
          and status == 200 and json.loads(body).get("api_key") == "probe-legacy-key",
          f"before {before[0][:12]}…, after {str(after[1])[:31]}…; median sign-in with a password {timings[2] * 1000:.0f} ms")
    statuses, started = [], time.time()
    for _ in range(1000):
        status, headers, _, _ = request(port, "POST", "/api/app/login",
                                        json.dumps({"email": "legacy@example.org", "password": "wrong"}).encode())
        statuses.append((status, headers.get("Retry-After")))
        if time.time() - started > 30:
            break
    right, headers, _, _ = request(port, "POST", "/api/app/login", json.dumps({"email": "legacy@example.org", "password": "pw"}).encode())
    refused = [s for s in statuses if s[0] == 429]
    check("B5 1,000 wrong passwords: 429 with Retry-After after the first few, and the right one is refused too",
          sum(1 for s in statuses if s[0] == 401) <= 10 and refused and all(s[1] for s in refused) and right == 429,
          f"{sum(1 for s in statuses if s[0] == 401)} × 401, {len(refused)} × 429 in {time.time() - started:.1f} s; "
          f"then the right password: {right} (Retry-After {headers.get('Retry-After')})")
    service.stop()


def probe_nginx_log(binary, work, service):
    """B11: the README's nginx set-up keeps API keys out of its access log."""
    with open(os.path.join(ROOT, "service", "README.md")) as readme:
        config = re.search(r"```nginx\n(.*?)```", readme.read(), re.S).group(1)
    folder = os.path.join(work, "nginx")
    os.makedirs(folder)
    config = (config.replace("/var/log/nginx/", folder + "/").replace("listen 80;", "listen 127.0.0.1:18290;")
              .replace("server 127.0.0.1:8081;", f"server 127.0.0.1:{service.port};").replace("server 127.0.0.1:8082;", ""))
    with open(os.path.join(folder, "nginx.conf"), "w") as file:
        file.write(f"pid {folder}/nginx.pid;\nerror_log {folder}/error.log;\nevents {{}}\nhttp {{\n{config}\n}}\n")
    started = subprocess.run(["nginx", "-c", os.path.join(folder, "nginx.conf"), "-p", folder], capture_output=True, text=True)
    if started.returncode != 0:
        check("B11 nginx starts with the README's configuration", False, started.stderr.strip()[:200])
        return
    try:
        with urllib.request.urlopen(f"http://127.0.0.1:18290/api/transactions?page=1&limit=5&api_key={service.key}", timeout=30) as answer:
            status = answer.status
        time.sleep(0.5)
        with open(os.path.join(folder, "kivopro.log")) as log:
            logged = log.read()
        check("B11 nginx with the README's configuration logs the request without its API key",
              status == 200 and "/api/transactions" in logged and service.key not in logged, logged.strip()[-120:])
    finally:
        with open(os.path.join(folder, "nginx.pid")) as pid:
            os.kill(int(pid.read()), signal.SIGQUIT)


def probe_remove_tool_limits(build, work):
    """B12: kivopro-remove checks before it infers, in words, with the documented exit codes."""
    tool = os.path.join(build, "tools", "kivopro-remove")
    folder = os.path.join(work, "tool-limits")
    os.makedirs(folder)
    photo = os.path.join(folder, "photo.jpg")
    subprocess.run(["cp", os.path.join(ROOT, "tests", "data", "coffee.jpg"), photo], check=True)
    started = time.time()
    run = subprocess.run([tool, "-o", "/sys/kernel", photo, photo], capture_output=True, text=True)
    check("B12 an output folder that cannot be written: exit 2 before any inference",
          run.returncode == 2 and time.time() - started < 3 and "cannot write" in run.stderr,
          f"exit {run.returncode} in {time.time() - started:.2f} s: {run.stderr.strip()[:120]}")
    bomb = os.path.join(folder, "bomb.png")
    with open(bomb, "wb") as file:
        file.write(png_bomb())
    started = time.time()
    run = subprocess.run(["/usr/bin/time", "-f", "%M", tool, "-o", folder, bomb], capture_output=True, text=True)
    peak = int(run.stderr.strip().splitlines()[-1]) / 1024
    check("B12 a 31 KB 1-bit 16000 x 16000 PNG: too large, at once",
          run.returncode == 1 and "too large" in run.stderr and time.time() - started < 5,
          f"{time.time() - started:.2f} s, peak {peak:.0f} MiB: {run.stderr.strip().splitlines()[0][:120]}")
    sparse = os.path.join(folder, "sparse.jpg")
    with open(sparse, "wb") as file:
        file.truncate(2 << 30)
    started = time.time()
    run = subprocess.run(["/usr/bin/time", "-f", "%M", tool, "-o", folder, sparse], capture_output=True, text=True)
    peak = int(run.stderr.strip().splitlines()[-1]) / 1024
    check("B12 a 2 GB sparse file is refused from its first bytes", run.returncode == 1 and "not an image" in run.stderr
          and peak < 400 and time.time() - started < 5, f"{time.time() - started:.2f} s, peak {peak:.0f} MiB")
    os.remove(sparse)
    os.makedirs(os.path.join(folder, "folder.jpg"))
    run = subprocess.run([tool, "-o", folder, os.path.join(folder, "folder.jpg"), os.path.join(folder, "missing.jpg")],
                         capture_output=True, text=True)
    check("B12 reasons in words", "cannot read the file (" in run.stderr and "no such file" in run.stderr,
          run.stderr.strip().replace("\n", " | ")[:200])
    run = subprocess.run([tool, "--no-such-option", photo], capture_output=True, text=True)
    check("B12 a usage error exits 2", run.returncode == 2, f"exit {run.returncode}")


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--build", default=os.environ.get("KIVO_BUILD_DIR", os.path.join(ROOT, "build")))
    parser.add_argument("--only", default="1,2,3,4,5,6,7,8,9,B1,B2,B3,B4,B5,B6,B7,B8,B11,B12")
    args = parser.parse_args()
    only = set(args.only.split(","))
    binary = os.path.join(args.build, "service", "kivopro-service")
    jpeg = os.path.join(ROOT, "tests", "data", "coffee.jpg")
    with open(os.path.join(ROOT, "tests", "data", "coffee.jpg"), "rb") as source:
        image = source.read()

    with tempfile.TemporaryDirectory(prefix="kivopro-probes-") as work:
        try:
            run_probes(args, only, binary, jpeg, image, work)
        finally:
            for service in STARTED:
                service.stop(signal.SIGKILL)

    print(f"{len(FAILURES)} failed" if FAILURES else "all probes give the sound result")
    sys.exit(1 if FAILURES else 0)


def run_probes(args, only, binary, jpeg, image, work):
    # Two accounts come in through the import of an old accounts file: one with plenty of
    # credits and one with none.
    legacy = os.path.join(work, "accounts.json")
    with open(legacy, "w") as file:
        json.dump({"accounts": [
            {"id": 1, "name": "Probe", "email": "probe@example.org", "password": "pw", "api_key": "probe-key", "credits": 1000},
            {"id": 2, "name": "Empty", "email": "empty@example.org", "password": "pw", "api_key": "probe-empty-key", "credits": 0},
            {"id": 3, "name": "Other", "email": "other@example.org", "password": "pw", "api_key": "probe-other-key", "credits": 100},
            {"id": 4, "name": "One", "email": "one@example.org", "password": "pw", "api_key": "probe-one-key", "credits": 1},
            # As earlier versions stored it: one salted SHA-256 of "pw".
            {"id": 5, "name": "Legacy", "email": "legacy@example.org", "password_salt": "s4lt",
             "password_sha256": hashlib.sha256(b"s4ltpw").hexdigest(), "api_key": "probe-legacy-key", "credits": 1},
        ]}, file)
    data = os.path.join(work, "data")
    service = Service(binary, data, ["--accounts", legacy])
    service.key = "probe-key"
    if not service.port or not service.wait_for_line("segmentation model ready"):
        print(service.output())
        sys.exit("the service did not start or its model did not load")
    print(f"service pid {service.process.pid} on port {service.port}, {service.memory_mib():.0f} MiB after loading the model",
          flush=True)
    if "1" in only:
        probe_headers(service)
    if "2" in only:
        probe_bodies(service)
    if "3" in only:
        probe_slow_clients(service, 12, 3)
        probe_slow_clients(service, 100, 1)
    if "4" in only:
        probe_queue(service, image)
    if "7" in only:
        if "4" not in only:
            removal(service.port, service.key, image)
        probe_privacy(service)
    if "B1" in only:
        probe_formats(service, work)
    if "B2" in only:
        probe_framing(service)
    if "B3" in only:
        probe_fair_queue(service, work, "probe-other-key")
    if "B6" in only:
        probe_log_forgery(service)
    if "B7" in only:
        probe_bombs(service, work, "probe-one-key")
    if "B8" in only:
        probe_half_close(service, work)
    if "B11" in only:
        probe_nginx_log(binary, work, service)
    service.stop()
    if "B4" in only:
        probe_postgres(binary, work, legacy)
    if "B5" in only:
        probe_credentials(binary, work, legacy)
    if "B12" in only:
        probe_remove_tool_limits(args.build, work)
    if "5" in only:
        probe_kill(binary, data, "probe-key", image)
    if "6" in only:
        probe_failed_writes(binary, data, "probe-key", image)
    if "8" in only:
        probe_telemetry(args.build, work, jpeg)
    if "9" in only:
        probe_remove_tool(args.build, work, jpeg)


if __name__ == "__main__":
    main()
