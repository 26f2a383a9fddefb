"""The exporter's web configuration file (``--web-config-file``), in the
layout operators already write for Prometheus's other exporters: TLS for
the port (``tls_server_config``) and users with bcrypt-hashed passwords
(``basic_auth_users``). Read once at start; anything wrong in it is one
sentence naming the problem, before the exporter listens."""

import base64
import binascii
import ssl
from dataclasses import dataclass, field
from pathlib import Path
from typing import Any, Dict, Mapping, Optional

TOP_KEYS = ("tls_server_config", "basic_auth_users")
TLS_KEYS = ("cert_file", "key_file", "client_auth_type", "client_ca_file", "min_version")
CLIENT_AUTH_TYPES = ("NoClientCert", "RequireAndVerifyClientCert")
MIN_VERSIONS = {"TLS12": ssl.TLSVersion.TLSv1_2, "TLS13": ssl.TLSVersion.TLSv1_3}
# What a request without the right user and password is told.
REALM = "calvex-exporter"


class WebConfigError(Exception):
    """The file cannot be used; the message is one sentence saying why."""


@dataclass
class WebConfig:
    """What the file asks for: a TLS context for the port (None: plain
    HTTP), and users by name with their bcrypt hashes (empty: no password
    asked)."""

    tls: Optional[ssl.SSLContext] = None
    users: Dict[str, bytes] = field(default_factory=dict)
    # Checked against when the user is unknown, so that a wrong user costs
    # what a wrong password does.
    stand_in_hash: bytes = b""

    def allows(self, authorization: Optional[str]) -> bool:
        """Whether an Authorization header carries a known user and the
        right password; every password is compared through bcrypt only."""
        if not self.users:
            return True
        import bcrypt

        user, password = _basic_credentials(authorization)
        known = self.users.get(user) if user is not None else None
        hashed = known if known is not None else self.stand_in_hash
        try:
            matches = bcrypt.checkpw(password.encode("utf-8"), hashed)
        except ValueError:
            matches = False
        return matches and known is not None


def _basic_credentials(authorization: Optional[str]) -> "tuple[Optional[str], str]":
    if authorization is None or not authorization[:6].lower() == "basic ":
        return None, ""
    try:
        decoded = base64.b64decode(authorization[6:].strip(), validate=True).decode("utf-8")
    except (binascii.Error, UnicodeDecodeError):
        return None, ""
    user, colon, password = decoded.partition(":")
    return (user, password) if colon else (None, "")


def _mapping(value: Any, where: str, path: Path) -> Mapping[str, Any]:
    if value is None:
        return {}
    if not isinstance(value, dict):
        raise WebConfigError(f"{path}: {where} must be a mapping of keys to values.")
    return value


def _unknown_keys(given: Mapping[str, Any], known: "tuple[str, ...]", where: str, path: Path) -> None:
    unknown = [str(key) for key in given if key not in known]
    if unknown:
        raise WebConfigError(f"{path}: unknown key {where}{unknown[0]} (known: {', '.join(known)}).")


def _file(value: Any, key: str, path: Path) -> str:
    if not isinstance(value, str) or not value:
        raise WebConfigError(f"{path}: tls_server_config.{key} must name a file.")
    named = Path(value)
    return str(named if named.is_absolute() else path.parent / named)


def _tls_context(settings: Mapping[str, Any], path: Path) -> ssl.SSLContext:
    _unknown_keys(settings, TLS_KEYS, "tls_server_config.", path)
    if "cert_file" not in settings or "key_file" not in settings:
        raise WebConfigError(f"{path}: tls_server_config needs both cert_file and key_file.")
    cert, key = _file(settings["cert_file"], "cert_file", path), _file(settings["key_file"], "key_file", path)
    context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    context.minimum_version = ssl.TLSVersion.TLSv1_2
    try:
        context.load_cert_chain(cert, key)
    except FileNotFoundError as missing:
        raise WebConfigError(f"{path}: cannot read {missing.filename}: {missing.strerror}.") from None
    except ssl.SSLError as error:
        problem = "the key does not match the certificate" if "KEY_VALUES_MISMATCH" in str(error) else f"not a certificate and key ({error.reason or error})"
        raise WebConfigError(f"{path}: {cert} and {key}: {problem}.") from None
    version = settings.get("min_version", "TLS12")
    if version not in MIN_VERSIONS:
        raise WebConfigError(f"{path}: tls_server_config.min_version is {version!r}, not one of {', '.join(MIN_VERSIONS)}.")
    context.minimum_version = MIN_VERSIONS[version]
    auth_type = settings.get("client_auth_type", "NoClientCert")
    if auth_type not in CLIENT_AUTH_TYPES:
        raise WebConfigError(f"{path}: tls_server_config.client_auth_type is {auth_type!r}, not one of {', '.join(CLIENT_AUTH_TYPES)}.")
    if auth_type == "RequireAndVerifyClientCert":
        if "client_ca_file" not in settings:
            raise WebConfigError(f"{path}: client_auth_type RequireAndVerifyClientCert needs a client_ca_file.")
        ca = _file(settings["client_ca_file"], "client_ca_file", path)
        try:
            context.load_verify_locations(ca)
        except FileNotFoundError as missing:
            raise WebConfigError(f"{path}: cannot read {missing.filename}: {missing.strerror}.") from None
        except ssl.SSLError as error:
            raise WebConfigError(f"{path}: {ca} is no CA certificate ({error.reason or error}).") from None
        context.verify_mode = ssl.CERT_REQUIRED
    return context


def _users(given: Mapping[str, Any], path: Path) -> Dict[str, bytes]:
    import bcrypt

    users: Dict[str, bytes] = {}
    for user, hashed in given.items():
        if not isinstance(user, str) or not isinstance(hashed, str):
            raise WebConfigError(f"{path}: basic_auth_users maps user names to bcrypt hashes.")
        try:
            bcrypt.checkpw(b"", hashed.encode("ascii"))
        except (ValueError, UnicodeEncodeError):
            raise WebConfigError(f"{path}: the password of {user} is not a bcrypt hash.") from None
        users[user] = hashed.encode("ascii")
    return users


def _stand_in_hash(users: Mapping[str, bytes]) -> bytes:
    """A hash of the same cost as the first user's, for unknown users."""
    import bcrypt

    first = next(iter(users.values()), None)
    if first is None:
        return b""
    rounds = int(first.split(b"$")[2])
    return bcrypt.hashpw(b"no user has this password", bcrypt.gensalt(rounds=rounds))


def load_web_config(file: str) -> WebConfig:
    """Reads and checks the file; raises WebConfigError with one sentence."""
    path = Path(file)
    try:
        import bcrypt  # noqa: F401: said now, not at the first scrape
        import yaml
    except ImportError as missing:
        raise WebConfigError(f"--web-config-file needs {missing.name}: install it with: pip install 'calvex[exporter]'.") from None
    try:
        text = path.read_text(encoding="utf-8")
    except OSError as error:
        raise WebConfigError(f"cannot read the web configuration {path}: {error.strerror}.") from None
    try:
        loaded = yaml.safe_load(text)
    except yaml.YAMLError as error:
        raise WebConfigError(f"{path} is not YAML: {str(error).splitlines()[0]}.") from None
    settings = _mapping(loaded, "the file", path)
    _unknown_keys(settings, TOP_KEYS, "", path)
    tls_settings = settings.get("tls_server_config")
    tls = None if tls_settings is None else _tls_context(_mapping(tls_settings, "tls_server_config", path), path)
    users = _users(_mapping(settings.get("basic_auth_users"), "basic_auth_users", path), path)
    return WebConfig(tls, users, _stand_in_hash(users))
