"""The 19 files of an update package, what the updater expects of them, and the verdict on one file.

The files and what each becomes are read from the package's manifest, package-components.txt at the
top of the source tree, which the program's build reads too."""
import os

MANIFEST = os.path.join(os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__)))),
                        "package-components.txt")
COLUMNS = ("served", "fetched", "expanded", "expand", "step", "into", "as", "install", "removed")

# When the updater fetches a file, in words, for each value of the manifest's `fetched` column.
FETCHED = {
    "always": "always",
    "registration": "when an ImageKit control is installed",
    "imagekit5": "when ImageKit 5 is missing or not 2,1,0,16",
    "imagekit6": "when ImageKit 6 is missing",
}


def read_manifest(path=MANIFEST):
    """The manifest's rows, in download order, each a dict of its columns."""
    rows = []
    with open(path, encoding="utf-8") as f:
        for number, line in enumerate(f, 1):
            fields = line.split()
            if not fields or fields[0].startswith("#"):
                continue
            if len(fields) != len(COLUMNS) or fields[1] not in FETCHED:
                raise ValueError("%s, line %d: not a line of the manifest: %s" % (path, number, line.strip()))
            rows.append(dict(zip(COLUMNS, fields)))
    return rows


ROWS = read_manifest()

# (file name on the server, what it expands to, when the updater fetches it), in download order.
# None as the expanded name marks the two LHA archives.
COMPONENTS = [(row["served"], None if row["into"].startswith("imagekit") else row["expanded"],
               FETCHED[row["fetched"]]) for row in ROWS]

# The control each LHA archive holds at its top.
ARCHIVE_CONTROLS = {row["served"]: row["expanded"] for row in ROWS if row["into"].startswith("imagekit")}

# The archive of ImageKit 5, whose control must carry IMAGEKIT5_VERSION.
IMAGEKIT5_ARCHIVE = [row["served"] for row in ROWS if row["into"] == "imagekit5"][0]
# The file that expands to the product's program, and the registration tool.
EXECUTABLE = [row["served"] for row in ROWS if row["into"] == "executable"][0]
REGISTRATION_TOOL = [row["served"] for row in ROWS if row["fetched"] == "registration"][0]

UPDATE_VERSION = "1.6.0"
IMAGEKIT5_VERSION = "2,1,0,16"

OK, WARNING, FAULT = "ok", "WARNING", "FAULT"


class Finding:
    """The verdict on one file: a level and the notes that explain it."""

    def __init__(self):
        self.level = OK
        self.notes = []

    def note(self, text):
        self.notes.append(text)

    def warn(self, text):
        if self.level == OK:
            self.level = WARNING
        self.notes.append(text)

    def fault(self, text):
        self.level = FAULT
        self.notes.append(text)
