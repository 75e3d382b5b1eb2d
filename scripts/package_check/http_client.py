"""A raw HTTP/1.1 client that sends one GET the way the updater sends it, directly or through a proxy."""
import socket


LIVE_USER_AGENT = "KarUpdt-check-package"  # not "KarUpdt/...": a check is no workstation's update
LIVE_TIMEOUT = 30
LIVE_LIMIT = 256 * 1024 * 1024


class LiveError(Exception):
    pass


class Unreachable(LiveError):
    """No connection at all: every other file would fail alike."""


def parse_http_url(url):
    """(host, port, path ending in "/") of an http:// URL; raises LiveError otherwise."""
    if not url.lower().startswith("http://"):
        raise LiveError("%s: the updater fetches over plain HTTP only; give an http:// URL" % url)
    rest = url[len("http://"):]
    authority, slash, path = rest.partition("/")
    path = "/" + path
    if not path.endswith("/"):
        path += "/"
    if authority.startswith("["):
        end = authority.find("]")
        host, port = authority[1:end], authority[end + 1:].lstrip(":") if end > 0 else ""
    else:
        host, _, port = authority.partition(":")
    port = port or "80"
    if not host or not port.isdigit() or not 0 < int(port) < 65536:
        raise LiveError("%s: not a host with an optional port" % url)
    return host, int(port), path


def parse_host_port(text):
    host, colon, port = text.rpartition(":")
    if not colon or not host or not port.isdigit() or not 0 < int(port) < 65536:
        raise LiveError("--proxy %s: give HOST:PORT" % text)
    return host, int(port)


def http_get(host, port, path, proxy):
    """One GET as the updater sends it (HTTP/1.1, Connection: close; to the proxy with the whole
    URL in the request line). Returns (status, reason, {lower-case name: value}, body as sent)."""
    named = "[%s]" % host if ":" in host else host
    authority = named if port == 80 else "%s:%d" % (named, port)
    target = "http://%s%s" % (authority, path) if proxy else path
    request = ("GET %s HTTP/1.1\r\nHost: %s\r\nUser-Agent: %s\r\nConnection: close\r\n\r\n"
               % (target, authority, LIVE_USER_AGENT)).encode("latin-1")
    peer = proxy or (host, port)
    where = "%s%s:%d" % ("the proxy " if proxy else "", peer[0], peer[1])
    try:
        connection = socket.create_connection(peer, timeout=LIVE_TIMEOUT)
    except OSError as error:
        raise Unreachable("cannot connect to %s: %s" % (where, error.strerror or error))
    try:
        with connection:
            connection.sendall(request)
            received = bytearray()
            while len(received) <= LIVE_LIMIT:
                piece = connection.recv(1 << 16)
                if not piece:
                    break
                received += piece
    except OSError as error:
        raise LiveError("%s: %s" % (where, error.strerror or error))
    head, separator, body = bytes(received).partition(b"\r\n\r\n")
    if not separator:
        raise LiveError("no complete HTTP answer (%d bytes received)" % len(received))
    lines = head.decode("latin-1").split("\r\n")
    status_line = lines[0].split(" ", 2)
    if len(status_line) < 2 or not status_line[0].startswith("HTTP/") or not status_line[1].isdigit():
        raise LiveError("not an HTTP answer: %r" % lines[0][:80])
    headers = {}
    for line in lines[1:]:
        name, _, value = line.partition(":")
        headers[name.strip().lower()] = value.strip()
    return int(status_line[1]), status_line[2] if len(status_line) > 2 else "", headers, body
