"""The right user's scrape while clients flood calvex-exporter with wrong
passwords (each a new one, so none is answered from the toolkit's cache):
the slowest of ten scrapes at 8, 48 and 160 flooding clients (a Go
program, bench/go/authflood, floods), for the
bcrypt costs given. The toolkit checks one password at a time, so the
right user waits behind every wrong one queued before it.

    /usr/bin/python3 bench/exporter_auth_flood.py BUILD EXPORTER [COST ...]"""

import base64
import http.client
import os
import socket
import ssl
import subprocess
import sys
import tempfile
import time
from pathlib import Path

import bcrypt

PASSWORD = "calvex-bench-password"


def certificate(folder: Path) -> None:
    subprocess.run(["openssl", "req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:P-256", "-nodes", "-days", "2",
                    "-subj", "/CN=127.0.0.1", "-addext", "subjectAltName=IP:127.0.0.1", "-keyout", "server.key", "-out", "server.crt"],
                   cwd=folder, check=True, capture_output=True)


def get(port: int, context: ssl.SSLContext, user: str, password: str) -> int:
    connection = http.client.HTTPSConnection("127.0.0.1", port, context=context, timeout=30)
    try:
        token = base64.b64encode(f"{user}:{password}".encode()).decode()
        connection.request("GET", "/metrics", headers={"Authorization": f"Basic {token}"})
        answer = connection.getresponse()
        answer.read()
        return answer.status
    finally:
        connection.close()


def slowest_scrape(exporter: str, flooder: Path, build: Path, folder: Path, cost: int, clients: int) -> float:
    hashed = bcrypt.hashpw(PASSWORD.encode(), bcrypt.gensalt(rounds=cost)).decode()
    config = folder / f"web-{cost}.yml"
    config.write_text(f"tls_server_config:\n  cert_file: server.crt\n  key_file: server.key\nbasic_auth_users:\n  prometheus: {hashed}\n")
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        port = probe.getsockname()[1]
    process = subprocess.Popen([exporter, "--listen", f"127.0.0.1:{port}", "--web.config.file", str(config),
                                "--helper", str(build / "sim" / "simrun"), str(build / "calvex")],
                               stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    context = ssl.create_default_context(cafile=str(folder / "server.crt"))
    try:
        # Ready when it answers; the right password not yet checked, so its
        # first scrape comes under the flood uncached, as after a start.
        for _ in range(100):
            try:
                if get(port, context, "nobody", "probe") == 401:
                    break
            except OSError:
                time.sleep(0.05)
        # The flood from Go: goroutines on kept-alive connections, far more
        # wrong passwords a second than Python threads could send.
        done = subprocess.run([str(flooder), f"https://127.0.0.1:{port}/metrics", str(folder / "server.crt"), "prometheus", PASSWORD,
                               str(clients)], capture_output=True, text=True, check=True, timeout=300)
        return float(done.stdout)
    finally:
        process.terminate()
        process.wait(10)


def main() -> int:
    build, exporter = Path(sys.argv[1]).resolve(), sys.argv[2]
    costs = [int(each) for each in sys.argv[3:]] or [10, 5]
    with tempfile.TemporaryDirectory() as scratch:
        folder = Path(scratch)
        certificate(folder)
        flooder = folder / "authflood"
        subprocess.run(["go", "build", "-o", str(flooder), "."], cwd=Path(__file__).parent / "go" / "authflood", check=True,
                       env={**os.environ, "GOFLAGS": "-buildvcs=false"})
        for cost in costs:
            for clients in (8, 48, 160):
                worst = slowest_scrape(exporter, flooder, build, folder, cost, clients)
                print(f"| Exporter, bcrypt cost {cost}: the right user's slowest of 10 scrapes while {clients} clients send wrong passwords | {worst:.2f} s |")
    return 0


if __name__ == "__main__":
    sys.exit(main())
