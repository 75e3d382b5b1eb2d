"""The published server: each file fetched the way the updater fetches it and compared with the package."""
import hashlib
import os

from .components import COMPONENTS, FAULT, Finding
from .http_client import LiveError, Unreachable, http_get, parse_http_url


def check_live(folder, url, proxy):
    """Fetches the 19 files from `url` and compares each with the package; 0 when all are served
    as the updater needs them."""
    host, port, path = parse_http_url(url)
    print("package: %s" % os.path.abspath(folder))
    print("server:  http://%s:%d%s%s" % (host, port, path, " through the proxy %s:%d" % proxy if proxy else ""))
    width = max(len(name) for name, _, _ in COMPONENTS)
    faults = 0
    for number, (name, _, _) in enumerate(COMPONENTS, 1):
        finding = Finding()
        try:
            status, reason, headers, body = http_get(host, port, path + name, proxy)
        except Unreachable as error:
            print("%2d %-*s  %-7s  %s" % (number, width, name, FAULT, error))
            print("summary: the server cannot be reached; nothing was fetched")
            return 1
        except LiveError as error:
            finding.fault(str(error))
        else:
            check_live_answer(finding, status, reason, headers, body, os.path.join(folder, name))
        faults += finding.level == FAULT
        print("%2d %-*s  %-7s  %s" % (number, width, name, finding.level, "; ".join(finding.notes)))
    if faults:
        print("summary: %d of %d files are NOT served as the updater needs them" % (faults, len(COMPONENTS)))
        return 1
    print("summary: all %d files are served with their Content-Length, unchanged; the server is ready"
          % len(COMPONENTS))
    return 0


def check_live_answer(finding, status, reason, headers, body, local_path):
    location = headers.get("location")
    if 300 <= status < 400 and location:
        finding.fault("%d %s, redirects to %s: the updater does not follow redirects" % (status, reason, location))
        return
    if not 200 <= status < 300:
        finding.fault("%d %s: the updater counts the file as failed" % (status, reason))
        return
    finding.note("%d %s" % (status, reason))
    length = headers.get("content-length")
    if length is None or not length.isdigit():
        coding = headers.get("transfer-encoding")
        finding.fault("no Content-Length%s: the updater counts the file as failed"
                      % (" (Transfer-Encoding: %s)" % coding if coding else ""))
        return
    if int(length) != len(body):
        finding.fault("Content-Length %s, but %d bytes came before the connection closed" % (length, len(body)))
        return
    finding.note("Content-Length %s" % length)
    if headers.get("content-encoding", "identity").lower() != "identity":
        # The updater saves the body as it comes, so these bytes would be installed compressed.
        finding.fault("Content-Encoding: %s: the server compresses on the fly" % headers["content-encoding"])
        return
    try:
        with open(local_path, "rb") as f:
            local = f.read()
    except OSError:
        finding.fault("the local package lacks the file, so the bytes cannot be compared")
        return
    if body != local:
        finding.fault("differs from the local package (served: %d bytes, sha256 %s; package: %d bytes, "
                      "sha256 %s)" % (len(body), hashlib.sha256(body).hexdigest(), len(local),
                                      hashlib.sha256(local).hexdigest()))
        return
    finding.note("same bytes as the package")
    if "cache-control" in headers:
        finding.note("Cache-Control: %s" % headers["cache-control"])
