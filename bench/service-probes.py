#!/usr/bin/env python3
"""Probes of kivopro-service and kivopro-remove as a user and an attacker would run them.

    python3 bench/service-probes.py [--build DIR] [--only N,N]

Starts its own kivopro-service on loopback (SQLite in a temporary folder; the model must be
prepared), runs each probe once and prints one line per check: PASS or FAIL with the figures.
Exits 1 when a check fails. Every probe is bounded in bytes and time (about three minutes in
all on two cores). Python's standard library only.
"""

import argparse
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


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--build", default=os.environ.get("KIVO_BUILD_DIR", os.path.join(ROOT, "build")))
    parser.add_argument("--only", default="1,2,3,4,5,6,7,8,9")
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
    service.stop()
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
