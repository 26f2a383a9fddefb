"""calvex-exporter with --web-config-file: TLS and basic auth as operators
configure them for Prometheus's other exporters. Certificates made here with
openssl (a CA, a server certificate for 127.0.0.1, a client certificate);
scraped by Debian's real Prometheus with scheme https, a CA, a password and
a client certificate; refused with a wrong one; plain HTTP and handshakes
that never finish; and every kind of bad file ending the exporter before it
listens."""

import os
import shutil
import socket
import ssl
import subprocess
import threading
import time
from pathlib import Path
from typing import Any, Dict, List

import pytest
from conftest import ROOT, TIME_SCALE, simulated
from exporter_run import PROMETHEUS, ExporterRun, PrometheusRun, exporter, message, wait_until
from test_exporter_operations import REQUEST_SECONDS

bcrypt = pytest.importorskip("bcrypt", reason="bcrypt is not installed (Debian package python3-bcrypt)")
OPENSSL = shutil.which("openssl")
pytestmark = pytest.mark.skipif(OPENSSL is None, reason="openssl is not installed (Debian package openssl)")
PASSWORD = "calvex-test-password"


def openssl(folder: Path, *arguments: str) -> None:
    assert OPENSSL is not None
    subprocess.run([OPENSSL, *arguments], cwd=folder, check=True, capture_output=True, timeout=60)


def new_key_and_request(folder: Path, name: str, subject: str) -> None:
    openssl(folder, "req", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:P-256", "-nodes", "-subj", subject,
            "-keyout", f"{name}.key", "-out", f"{name}.csr")


def signed(folder: Path, name: str, extensions: str) -> None:
    (folder / f"{name}.ext").write_text(extensions + "\n")
    openssl(folder, "x509", "-req", "-in", f"{name}.csr", "-CA", "ca.crt", "-CAkey", "ca.key", "-CAcreateserial",
            "-days", "2", "-extfile", f"{name}.ext", "-out", f"{name}.crt")


@pytest.fixture(scope="module")
def pki(tmp_path_factory: pytest.TempPathFactory) -> Path:
    """A CA, a server certificate for 127.0.0.1, a client certificate, and
    a key that belongs to neither."""
    folder = tmp_path_factory.mktemp("pki")
    openssl(folder, "req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:P-256", "-nodes", "-days", "2",
            "-subj", "/CN=calvex test CA", "-keyout", "ca.key", "-out", "ca.crt")
    new_key_and_request(folder, "server", "/CN=127.0.0.1")
    signed(folder, "server", "subjectAltName=IP:127.0.0.1\nextendedKeyUsage=serverAuth")
    new_key_and_request(folder, "client", "/CN=prometheus")
    signed(folder, "client", "extendedKeyUsage=clientAuth")
    new_key_and_request(folder, "other", "/CN=nobody")
    (folder / "garbage.crt").write_text("-----BEGIN CERTIFICATE-----\nnot one\n-----END CERTIFICATE-----\n")
    return folder


def web_config(folder: Path, text: str) -> Path:
    path = folder / f"web-{abs(hash(text))}.yml"
    path.write_bytes(text.encode("utf-8", "surrogateescape") if "\xff" not in text else text.encode("latin-1"))
    return path


def password_hash() -> str:
    return str(bcrypt.hashpw(PASSWORD.encode(), bcrypt.gensalt(rounds=4)).decode())


def client_context(pki: Path, with_certificate: bool = False) -> ssl.SSLContext:
    context = ssl.create_default_context(cafile=str(pki / "ca.crt"))
    if with_certificate:
        context.load_cert_chain(str(pki / "client.crt"), str(pki / "client.key"))
    return context


TLS_AND_USERS = "tls_server_config:\n  cert_file: server.crt\n  key_file: server.key\nbasic_auth_users:\n  prometheus: {hash}\n"
MUTUAL_TLS = (
    "tls_server_config:\n  cert_file: server.crt\n  key_file: server.key\n"
    "  client_auth_type: RequireAndVerifyClientCert\n  client_ca_file: ca.crt\n  min_version: TLS13\n"
)


@pytest.mark.parametrize(
    "text, said",
    [
        (None, "cannot read the web configuration"),
        ("tls_server_config: [unclosed\n", "yaml: line 1: did not find expected ',' or ']'"),
        ("tls_config:\n  cert_file: server.crt\n", "yaml: unmarshal errors: line 1: field tls_config not found"),
        ("tls_server_config:\n  cert_file: server.crt\n", "missing one of key or key_file"),
        ("tls_server_config:\n  cert_file: garbage.crt\n  key_file: server.key\n", "failed to find any PEM data in certificate input"),
        ("tls_server_config:\n  cert_file: server.crt\n  key_file: other.key\n", "private key does not match public key"),
        ("tls_server_config:\n  cert_file: missing.crt\n  key_file: server.key\n", "missing.crt: no such file or directory"),
        ("tls_server_config:\n  cert_file: server.crt\n  key_file: server.key\n  min_version: TLS10\n", "min_version is below TLS12"),
        ("tls_server_config:\n  cert_file: server.crt\n  key_file: server.key\n  min_version: TLS9\n", "unknown TLS version: TLS9"),
        ("tls_server_config:\n  cert_file: server.crt\n  key_file: server.key\n  client_auth_type: VerifyClientCertIfGiven\n",
         "client_auth_type VerifyClientCertIfGiven needs a client_ca_file"),
        ("tls_server_config:\n  cert_file: server.crt\n  key_file: server.key\n  client_auth_type: RequireAndVerifyClientCert\n",
         "client_auth_type RequireAndVerifyClientCert needs a client_ca_file"),
        ("tls_server_config:\n  cert_file: server.crt\n  key_file: server.key\n  client_auth_type: Sometimes\n", "Sometimes"),
        ("basic_auth_users:\n  prometheus: s3cret\n", "crypto/bcrypt: hashedSecret too short to be a bcrypted password"),
        # A hash that would cost seconds a scrape (the hash itself is never checked here).
        ("basic_auth_users:\n  prometheus: $2b$16$" + "a" * 53 + "\n", 'the password hash of "prometheus" has bcrypt cost 16, above the 14'),
        # One above the cap: each check twice cost 14's.
        ("basic_auth_users:\n  prometheus: $2b$15$" + "a" * 53 + "\n", 'the password hash of "prometheus" has bcrypt cost 15, above the 14'),
        ("http_server_config:\n  headers:\n    Server: calvex\n", 'HTTP header "Server" can not be configured'),
        # A billion laughs: refused, not expanded.
        ("".join(f"{a}: &{a} [{', '.join([f'*{b}'] * 9)}]\n" for a, b in zip("bcdefghi", "abcdefgh")).join(["a: &a [x, x, x, x, x, x, x, x, x]\n", ""]),
         "cannot be used: yaml:"),
        ("basic_auth_users: \xff\n", "is not UTF-8 text"),
        # Client certificates taken without the CA's check, though a CA is given.
        ("tls_server_config:\n  cert_file: server.crt\n  key_file: server.key\n  client_auth_type: RequireAnyClientCert\n"
         "  client_ca_file: ca.crt\n", "use RequireAndVerifyClientCert to let in only the certificates the CA signed"),
        ("tls_server_config:\n  cert_file: server.crt\n  key_file: server.key\n  max_version: TLS11\n",
         "max_version is below TLS12, the oldest this exporter speaks: no handshake could succeed"),
        ("basic_auth_users:\n  'prom:etheus': $2b$04$" + "a" * 53 + "\n", 'the user name "prom:etheus" holds a colon'),
        ("tls_server_config:\n  cert_file: server.crt\n  key_file: server.key\n---\nbasic_auth_users:\n  a: b\n",
         "it holds more than one YAML document"),
    ],
)
def test_a_web_configuration_that_cannot_be_used_ends_the_exporter_before_it_listens(pki: Path, text: Any, said: str) -> None:
    path = pki / "absent.yml" if text is None else web_config(pki, text)
    refused(path, said)


def refused(path: Path, said: str) -> None:
    """The exporter, given this web configuration, ends with status 2 and
    one sentence, never having listened."""
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        port = probe.getsockname()[1]
    done = exporter("--listen", f"127.0.0.1:{port}", "--web-config-file", str(path), "--helper", *simulated())
    assert done.returncode == 2 and done.stderr.count("\n") == 1 and said in message(done.stderr), done.stderr
    assert "level=ERROR" in done.stderr and "Listening" not in done.stderr


def test_what_is_no_file_to_read_ends_it_before_it_listens(pki: Path, tmp_path: Path) -> None:
    fifo = tmp_path / "web.fifo"
    os.mkfifo(fifo)  # read, it would wait for a writer for ever
    big = tmp_path / "big.yml"
    big.write_text("# " + "x" * (1 << 20) + "\n")
    for path, said in ((Path("/dev/zero"), "is not a regular file"), (fifo, "is not a regular file"), (tmp_path, "is not a regular file"),
                       (big, "is over 1048576 bytes")):
        refused(path, said)


def test_a_file_the_configuration_names_is_guarded_as_the_configuration_is(pki: Path, tmp_path: Path) -> None:
    fifo = tmp_path / "cert.fifo"
    os.mkfifo(fifo)  # the toolkit would wait for a writer for ever
    big = tmp_path / "big.crt"
    big.write_text("x" * ((1 << 20) + 1))
    for key, path, said in (("cert_file", fifo, "the cert_file of the web configuration {} is not a regular file"),
                            ("cert_file", Path("/dev/zero"), "the cert_file of the web configuration {} is not a regular file"),
                            ("key_file", tmp_path, "the key_file of the web configuration {} is not a regular file"),
                            ("key_file", big, "the key_file of the web configuration {} is over 1048576 bytes")):
        files = {"cert_file": str(pki / "server.crt"), "key_file": str(pki / "server.key"), key: str(path)}
        text = "tls_server_config:\n" + "".join(f"  {name}: {value}\n" for name, value in files.items())
        refused(web_config(pki, text), said.format(path))
    text = MUTUAL_TLS.replace("ca.crt", str(fifo))
    refused(web_config(pki, text), f"the client_ca_file of the web configuration {fifo} is not a regular file")


def test_an_edit_while_serving_is_checked_before_it_is_served(pki: Path, tmp_path: Path) -> None:
    path = tmp_path / "web.yml"
    path.write_text(f"basic_auth_users:\n  prometheus: {password_hash()}\n")
    with ExporterRun(simulated(), "--web-config-file", str(path)) as run:
        run.auth = ("prometheus", PASSWORD)
        wait_until(10, "calvex_up 1", lambda: run.value("calvex_up") == 1)
        # A cost too high to check on each scrape: refused, the one before served.
        path.write_text("basic_auth_users:\n  prometheus: $2b$16$" + "a" * 53 + "\n")
        run.wait_for_log(5, "web configuration change refused")
        assert run.get()[0] == 200
        # Swapped for a FIFO: refused, never read, nothing pinned.
        os.mkfifo(tmp_path / "fifo")
        os.replace(tmp_path / "fifo", path)
        run.wait_for_log(5, "is not a regular file")
        started = time.monotonic()
        assert run.get()[0] == 200 and time.monotonic() - started < 2 * TIME_SCALE
        # A change that passes is served.
        (tmp_path / "next.yml").write_text(f"basic_auth_users:\n  other: {password_hash()}\n")
        os.replace(tmp_path / "next.yml", path)
        run.wait_for_log(5, "web configuration changed and checked; serving it")
        assert run.get()[0] == 401
        run.auth = ("other", PASSWORD)
        assert run.get()[0] == 200
    assert sum("web configuration" in line for line in run.log) == 3, run.log


def test_a_flood_of_bad_connections_grows_the_log_by_one_line_not_one_each(pki: Path) -> None:
    with ExporterRun(simulated(), "--web-config-file", str(web_config(pki, TLS_AND_USERS.format(hash=password_hash())))) as run:
        wait_until(10, "listening", lambda: "Listening on" in "\n".join(run.log))
        before = len(run.log)
        for _ in range(300):  # plain HTTP to the TLS port, each a failed handshake
            with socket.create_connection(("127.0.0.1", run.port), timeout=10) as plain:
                plain.sendall(b"GET /metrics HTTP/1.1\r\nHost: x\r\n\r\n")
                plain.recv(1024)
        run.wait_for_log(5, "a client's connection failed")
        time.sleep(0.5)
        assert len(run.log) - before == 1, run.log[before:]
    # The stop says the count of the others, in one line.
    assert any("clients' connections failed" in line and "count=299" in line for line in run.log), run.log[-5:]


def test_tls_offers_http_1_1_only_even_to_a_client_that_asks_for_http_2(pki: Path) -> None:
    with ExporterRun(simulated(), "--web-config-file", str(web_config(pki, TLS_AND_USERS.format(hash=password_hash())))) as run:
        wait_until(10, "listening", lambda: "Listening on" in "\n".join(run.log))
        context = client_context(pki)
        context.set_alpn_protocols(["h2", "http/1.1"])
        with socket.create_connection(("127.0.0.1", run.port), timeout=10) as raw, context.wrap_socket(raw, server_hostname="127.0.0.1") as tls:
            assert tls.selected_alpn_protocol() == "http/1.1"


def test_the_text_file_mode_does_not_take_a_web_configuration(pki: Path, tmp_path: Path) -> None:
    done = exporter("--textfile", str(tmp_path / "calvex.prom"), "--web-config-file", str(web_config(pki, MUTUAL_TLS)), "--helper", *simulated())
    assert done.returncode == 2 and "node_exporter serves the file" in done.stderr and not (tmp_path / "calvex.prom").exists()


def up_of(server: PrometheusRun, job: str) -> Any:
    result = server.query(f'up{{job="{job}"}}')
    return result[0]["value"][1] if result else None


@pytest.mark.skipif(PROMETHEUS is None, reason="prometheus is not installed (Debian package prometheus)")
def test_a_real_prometheus_scrapes_over_tls_with_a_password_and_with_a_client_certificate(pki: Path, tmp_path: Path) -> None:
    users = web_config(pki, TLS_AND_USERS.format(hash=password_hash()))
    with ExporterRun(simulated(), "--web-config-file", str(users)) as basic, ExporterRun(simulated(), "--web-config-file", str(web_config(pki, MUTUAL_TLS))) as mutual:
        basic.tls, basic.auth = client_context(pki), ("prometheus", PASSWORD)
        mutual.tls = client_context(pki, with_certificate=True)
        wait_until(10, "both up", lambda: basic.value("calvex_up") == 1 and mutual.value("calvex_up") == 1)
        tls = {"ca_file": str(pki / "ca.crt")}
        jobs: List[Dict[str, Any]] = [
            {"job_name": "password", "scheme": "https", "tls_config": tls, "basic_auth": {"username": "prometheus", "password": PASSWORD},
             "static_configs": [{"targets": [f"127.0.0.1:{basic.port}"]}]},
            {"job_name": "wrong-password", "scheme": "https", "tls_config": tls, "basic_auth": {"username": "prometheus", "password": "wrong"},
             "static_configs": [{"targets": [f"127.0.0.1:{basic.port}"]}]},
            {"job_name": "client-certificate", "scheme": "https",
             "tls_config": {**tls, "cert_file": str(pki / "client.crt"), "key_file": str(pki / "client.key")},
             "static_configs": [{"targets": [f"127.0.0.1:{mutual.port}"]}]},
            {"job_name": "no-client-certificate", "scheme": "https", "tls_config": tls,
             "static_configs": [{"targets": [f"127.0.0.1:{mutual.port}"]}]},
        ]
        with PrometheusRun(tmp_path, [], jobs=jobs) as server:
            wait_until(60, "every job scraped", lambda: all(up_of(server, job["job_name"]) is not None for job in jobs))
            wait_until(30, "the right ones up", lambda: up_of(server, "password") == "1" and up_of(server, "client-certificate") == "1")
            assert [up_of(server, "wrong-password"), up_of(server, "no-client-certificate")] == ["0", "0"]
            temperatures = server.query('count by (job) (calvex_temperature_celsius{job=~"password|client-certificate"})')
            assert {each["metric"]["job"]: each["value"][1] for each in temperatures} == {"password": "55", "client-certificate": "55"}
        # The exporter answered the wrong password with 401, asking for Basic.
        basic.auth = ("prometheus", "wrong")
        assert basic.get()[0] == 401


def test_plain_http_and_a_handshake_that_never_finishes_get_nothing_and_the_exporter_serves_on(pki: Path) -> None:
    users = web_config(pki, TLS_AND_USERS.format(hash=password_hash()))
    with ExporterRun(simulated(), "--web-config-file", str(users)) as run:
        run.tls, run.auth = client_context(pki), ("prometheus", PASSWORD)
        wait_until(10, "calvex_up 1", lambda: run.value("calvex_up") == 1)
        plain = subprocess.run(["curl", "-s", "-m", str(10 * TIME_SCALE), "-w", "\n%{http_code}", f"http://127.0.0.1:{run.port}/metrics"],
                               capture_output=True, timeout=30)
        assert b"calvex_" not in plain.stdout and not plain.stdout.endswith(b"\n200"), plain
        # A connection that opens and never says a word is cut at the
        # request's deadline, handshake or not.
        silent = socket.create_connection(("127.0.0.1", run.port))
        silent.settimeout(REQUEST_SECONDS * 3 * TIME_SCALE)
        started = time.monotonic()
        try:
            assert silent.recv(1) == b""
        except ConnectionResetError:
            pass
        assert time.monotonic() - started >= REQUEST_SECONDS - 0.5
        silent.close()
        assert run.get()[0] == 200


def client_hello() -> bytes:
    """The first bytes a TLS client sends."""
    outgoing = ssl.MemoryBIO()
    tls = ssl.create_default_context().wrap_bio(ssl.MemoryBIO(), outgoing, server_hostname="127.0.0.1")
    with pytest.raises(ssl.SSLWantReadError):
        tls.do_handshake()
    return outgoing.read()


def _trickle_hello(connections: List[socket.socket], seconds: float) -> None:
    hello = client_hello()
    ends = time.monotonic() + seconds
    sent = 0
    while time.monotonic() < ends and sent < len(hello):
        for connection in connections:
            try:
                connection.send(hello[sent : sent + 1])
            except OSError:
                pass
        sent += 1
        time.sleep(1.0)


def test_handshakes_that_trickle_neither_hold_a_slot_for_ever_nor_shut_out_a_scrape(pki: Path) -> None:
    with ExporterRun(simulated(), "--web-config-file", str(web_config(pki, TLS_AND_USERS.format(hash=password_hash())))) as run:
        run.tls, run.auth = client_context(pki), ("prometheus", PASSWORD)
        wait_until(10, "calvex_up 1", lambda: run.value("calvex_up") == 1)
        crowd = [socket.create_connection(("127.0.0.1", run.port)) for _ in range(140)]
        feeder = threading.Thread(target=_trickle_hello, args=(crowd, 8), daemon=True)
        feeder.start()
        ends = time.monotonic() + 8
        while time.monotonic() < ends:
            status, text = run.get()
            assert status == 200 and "calvex_up 1" in text.splitlines()
            time.sleep(0.25)
        feeder.join()
        # Each trickling handshake was cut at its deadline: the server closed them all.
        for connection in crowd:
            connection.settimeout(REQUEST_SECONDS * 3 * TIME_SCALE)
            try:
                assert connection.recv(1) == b""
            except (ConnectionResetError, socket.timeout) as error:
                assert isinstance(error, ConnectionResetError), "a trickling handshake kept its connection"
            connection.close()


def test_the_shipped_example_is_a_web_configuration_the_exporter_reads(pki: Path, tmp_path: Path) -> None:
    example = tmp_path / "web-config.yml"
    shutil.copyfile(ROOT / "docs" / "exporter" / "web-config.yml", example)
    for name, made in (("calvex.crt", "server.crt"), ("calvex.key", "server.key")):
        shutil.copyfile(pki / made, tmp_path / name)
    with ExporterRun(simulated(), "--web.config.file", str(example)) as run:
        run.wait_for_log(5, "msg=serving url=https://127.0.0.1:")
        run.tls = client_context(pki)
        assert run.get()[0] == 401  # its one user's password is the operator's


@pytest.mark.parametrize("tls", [False, True])
def test_clients_in_the_middle_of_a_request_do_not_hold_up_the_stop(pki: Path, tls: bool) -> None:
    options = ["--web-config-file", str(web_config(pki, TLS_AND_USERS.format(hash=password_hash())))] if tls else []
    run = ExporterRun(simulated(), *options)
    try:
        if tls:
            run.tls, run.auth = client_context(pki), ("prometheus", PASSWORD)
        wait_until(10, "calvex_up 1", lambda: run.value("calvex_up") == 1)
        # Half a handshake, half a request, and a connection that says nothing.
        first = client_hello()[:40] if tls else b"GET /metrics HTTP/1.1\r\nHo"
        stalled = [socket.create_connection(("127.0.0.1", run.port)) for _ in range(30)]
        for connection in stalled[:20]:
            connection.sendall(first)
        took = run.stop()
        assert took < 3 * TIME_SCALE, f"the stop took {took:.2f} s with {len(stalled)} clients stalled"
        for connection in stalled:
            connection.close()
    finally:
        run.kill()


def test_a_flood_of_wrong_passwords_does_not_stop_the_right_one_being_served(pki: Path) -> None:
    # The toolkit checks passwords at request time, one bcrypt at a time:
    # each wrong password here is a new one, so none is answered from its
    # cache, and the right one must still get through, if later.
    hashed = bcrypt.hashpw(PASSWORD.encode(), bcrypt.gensalt(rounds=10)).decode()
    with ExporterRun(simulated(), "--web-config-file", str(web_config(pki, TLS_AND_USERS.format(hash=hashed)))) as run:
        run.tls, run.auth = client_context(pki), ("prometheus", PASSWORD)
        wait_until(10, "calvex_up 1", lambda: run.value("calvex_up") == 1)
        flooding = threading.Event()

        def flood(worker: int) -> None:
            attacker = ExporterRun.__new__(ExporterRun)
            attacker.port, attacker.tls = run.port, client_context(pki)
            attempt = 0
            while not flooding.is_set():
                attempt += 1
                attacker.auth = ("prometheus", f"wrong-{worker}-{attempt}")
                assert attacker.get()[0] == 401

        workers = [threading.Thread(target=flood, args=(worker,), daemon=True) for worker in range(8)]
        for worker in workers:
            worker.start()
        slowest = 0.0
        try:
            for _ in range(10):
                asked = time.monotonic()
                status, _ = run.get()
                slowest = max(slowest, time.monotonic() - asked)
                assert status == 200
                time.sleep(0.25)
        finally:
            flooding.set()
            for worker in workers:
                worker.join(30)
        assert slowest < 5 * TIME_SCALE, f"the right password waited {slowest:.2f} s behind the wrong ones"
