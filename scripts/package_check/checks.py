"""The checks of the files of a package folder, one Finding per file."""
import os
import tempfile

from .components import (ARCHIVE_CONTROLS, COMPONENTS, EXECUTABLE, IMAGEKIT5_ARCHIVE, IMAGEKIT5_VERSION,
                         REGISTRATION_TOOL, UPDATE_VERSION, Finding)
from .lha import LhaError, lha_members, lhasa_complaint, lhasa_run
from .pe import PeError, file_version, pe_image, updater_version
from .szdd import SZDD_MAGIC, SzddError, szdd_expand


# ---------------------------------------------------------------------------------------------
# LHA archives

def check_archive(path, archive, control, finding):
    with open(path, "rb") as f:
        data = f.read()
    if not data:
        finding.fault("empty file")
        return
    try:
        members = lha_members(data)
    except LhaError as error:
        finding.fault("not a sound LHA archive: %s" % error)
        return
    if not members:
        finding.fault("not an LHA archive (no member found)")
        return
    finding.note("LHA archive, %d member%s" % (len(members), "" if len(members) == 1 else "s"))

    status, output = lhasa_run(["t", path])
    if status is None:
        finding.fault(output)
        return
    if status != 0 or "Tested" not in output:
        finding.fault("`lhasa t` fails: %s" % lhasa_complaint(output))
        return
    finding.note("`lhasa t` passes")

    # The updater extracts into the ImageKit folder and registers <folder>\<control>, so the control
    # must be at the top of the archive; Windows file names ignore letter case.
    def base(member):
        return member[0].replace("\\", "/").rsplit("/", 1)[-1].lower()

    matches = [m for m in members if m[0].lower() == control.lower()]
    if not matches:
        inside = [m[0] for m in members if base(m) == control.lower()]
        if inside:
            finding.fault("holds %s only inside a folder (%s): it must be at the top of the archive, where "
                          "the updater registers it" % (control, inside[0]))
            return
        names = ", ".join(m[0] for m in members[:5]) + (", ..." if len(members) > 5 else "")
        finding.fault("does not hold %s (holds %s)" % (control, names))
        return
    name, _, _, original = matches[0]
    if original == 0:
        finding.fault("%s in it is empty" % control)
        return
    finding.note("holds %s (%d bytes)" % (name, original))
    if archive != IMAGEKIT5_ARCHIVE:
        return

    # ImageKit 5 counts as installed only in version 2,1,0,16.
    with tempfile.TemporaryDirectory() as work:
        status, output = lhasa_run(["-xqiw=" + work, path])
        extracted = [os.path.join(work, f) for f in os.listdir(work) if f.lower() == control.lower()]
        if status != 0 or not extracted:
            finding.fault("%s could not be extracted: %s" % (control, lhasa_complaint(output)))
            return
        with open(extracted[0], "rb") as f:
            content = f.read()
    try:
        version = file_version(content)
    except PeError as error:
        finding.warn("%s %s; workstations will install ImageKit 5 again on every update" % (control, error))
        return
    if version != IMAGEKIT5_VERSION:
        finding.warn("%s has FileVersion %s, not %s; workstations will install ImageKit 5 again on "
                     "every update" % (control, version, IMAGEKIT5_VERSION))
    else:
        finding.note("FileVersion %s" % version)


# ---------------------------------------------------------------------------------------------
# Compressed components

# The project's stand-ins for karemain.exe and regsvr32.exe carry this in their version resource.
STAND_IN_MARK = "KARUPDT-STAND-IN".encode("utf-16-le")


def check_compressed(path, name, expanded_name, finding, allow_uncompressed, allow_stand_ins):
    with open(path, "rb") as f:
        data = f.read()
    if not data:
        finding.fault("empty file")
        return
    if data.startswith(SZDD_MAGIC):
        try:
            expanded = szdd_expand(data)
        except SzddError as error:
            finding.fault(str(error))
            return
        finding.note("SZDD, expands cleanly to %s (%d -> %d bytes)" % (expanded_name, len(data), len(expanded)))
        if len(expanded) < 16:
            # Such a file decodes to the right size whatever it holds, so its content cannot be
            # told: it is shown, for the vendor to compare.
            finding.warn("only %d bytes: Debian's mscompress writes wrong data for inputs shorter than 16 "
                         "bytes (make-package.py does not use it for them), so make sure this one holds "
                         "what it should: %s" % (len(expanded), ascii(expanded)[1:]))
    elif SZDD_MAGIC.startswith(data[:8]) or data[:4] == b"SZDD":
        finding.fault("damaged SZDD header")
        return
    else:
        text = "not compressed (no SZDD header): the updater would install these %d bytes unchanged as %s" % (
            len(data), expanded_name)
        if allow_uncompressed:
            finding.warn(text)
        else:
            finding.fault(text)
        expanded = data

    if name in (EXECUTABLE, REGISTRATION_TOOL) and STAND_IN_MARK in expanded:
        if allow_stand_ins:
            finding.note("%s is this project's stand-in (allowed by --allow-stand-ins)" % expanded_name)
        else:
            finding.fault("%s is this project's stand-in for tests and the demo, not the real program: "
                          "workstations must not get it" % expanded_name)
            return

    if name == EXECUTABLE:
        try:
            version = file_version(expanded)
        except PeError as error:
            finding.fault("%s %s" % (expanded_name, error))
            return
        seen = updater_version(version)
        if seen != UPDATE_VERSION:
            finding.fault("%s has FileVersion %s, which the updater reads as %s, not %s"
                          % (expanded_name, version, seen, UPDATE_VERSION))
        else:
            finding.note("%s FileVersion %s reads as %s" % (expanded_name, version, seen))
    elif name == REGISTRATION_TOOL:
        try:
            machine, dll = pe_image(expanded)
        except PeError as error:
            finding.fault("%s is %s" % (expanded_name, error))
            return
        if dll:
            finding.fault("%s is a DLL, not a program the updater can run" % expanded_name)
        elif machine != "32-bit x86" and not (allow_stand_ins and STAND_IN_MARK in expanded):
            # (The stand-in is built for the test build's architecture, 64-bit on a host that runs no
            # 32-bit code.)
            # A 64-bit regsvr32 loads only 64-bit controls; the ImageKit controls are 32-bit.
            finding.fault("%s is a %s program: the 32-bit controls need the 32-bit regsvr32.exe "
                          "(on 64-bit Windows the one in SysWOW64)" % (expanded_name, machine))
        else:
            finding.note("%s is a 32-bit Windows program" % expanded_name)


# ---------------------------------------------------------------------------------------------

def check_folder(folder, allow_uncompressed=False, allow_stand_ins=False):
    """[(number, name, Finding)] for the 19 files, in download order, and the folder's other files."""
    present = {}
    try:
        entries = os.listdir(folder)
    except OSError:
        entries = []
    for entry in entries:
        present.setdefault(entry.lower(), []).append(entry)
    known = {name.lower() for name, _, _ in COMPONENTS}

    results = []
    for number, (name, expanded, _) in enumerate(COMPONENTS, 1):
        finding = Finding()
        path = os.path.join(folder, name)
        if not os.path.isfile(path):
            others = [e for e in present.get(name.lower(), []) if e != name]
            if others:
                finding.fault("missing (there is %s: names on the server are case-sensitive)" % others[0])
            else:
                finding.fault("missing")
        else:
            try:
                if expanded is None:
                    check_archive(path, name, ARCHIVE_CONTROLS[name], finding)
                else:
                    check_compressed(path, name, expanded, finding, allow_uncompressed, allow_stand_ins)
            except OSError as error:
                finding.fault("cannot be read: %s" % error.strerror)
        results.append((number, name, finding))
    extra = sorted(e for e in entries if e.lower() not in known)
    return results, extra
