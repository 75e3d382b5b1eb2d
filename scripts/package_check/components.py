"""The 19 files of an update package, what the updater expects of them, and the verdict on one file."""


# (file name on the server, what it expands to, when the updater fetches it), in download order.
# None as the expanded name marks the two LHA archives.
COMPONENTS = [
    ("kar160.ex_", "karemain.exe", "always"),
    ("DLKR_DL.ex_", "DLKR_DL.exe", "always"),
    ("karstang.di_", "karstang.dic", "always"),
    ("Zoomhint.tx_", "ZoomHint.txt", "always"),
    ("cellmapa.da_", "cellmapa.dat", "always"),
    ("cellmapb.da_", "cellmapb.dat", "always"),
    ("vornlib.dl_", "vornlib.dll", "always"),
    ("FindUpd.ex_", "FindUpd.exe", "always"),
    ("tvdialog.dl_", "tvdialog.dll", "always"),
    ("plxShow.ex_", "plxShow.exe", "always"),
    ("GroupList.Ms_", "GroupList.Mst", "always"),
    ("GroupMst.in_", "GroupMst.ini", "always"),
    ("KarScan.ex_", "KarScan.exe", "always"),
    ("KarScanPaste.ex_", "KarScanPaste.exe", "always"),
    ("KarScan.de_", "KarScan.def", "always"),
    ("SCANABORT.EX_", "scanabort.exe", "always"),
    ("Regsvr32.ex_", "Regsvr32.exe", "when an ImageKit control is installed"),
    ("Imgkit5.lzh", None, "when ImageKit 5 is missing or not 2,1,0,16"),
    ("Imgkit6.lzh", None, "when ImageKit 6 is missing"),
]

ARCHIVE_CONTROLS = {"Imgkit5.lzh": "ImgKit5.ocx", "Imgkit6.lzh": "ImgKit6.ocx"}

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
