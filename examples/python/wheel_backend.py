"""The build backend of this folder (pyproject.toml): the module wsr37100.py as a wheel, made with the
standard library alone, so that `pip install examples/python` needs neither setuptools nor wheel nor
an index: a plain Debian Python and a fresh virtual environment install it offline."""
import base64
import hashlib
import io
import os
import re
import tarfile
import zipfile

HERE = os.path.dirname(os.path.abspath(__file__))
MODULE = "wsr37100.py"
SOURCES = ["pyproject.toml", "wheel_backend.py", MODULE, "test_wsr37100.py", "LICENSE"]
TAG = "py3-none-any"


def _project():
    """The [project] table's fields this backend uses, read from pyproject.toml."""
    with open(os.path.join(HERE, "pyproject.toml"), encoding="utf-8") as file:
        text = file.read().split("[project]", 1)[1].split("\n[", 1)[0]

    def field(key):
        found = re.search(r'^%s\s*=\s*"([^"]*)"' % re.escape(key), text, re.M)
        return found.group(1) if found else None

    classifiers = re.search(r"^classifiers\s*=\s*\[(.*?)\]", text, re.M | re.S)
    return {"name": field("name"), "version": field("version"), "description": field("description"),
            "requires-python": field("requires-python"),
            "license": (re.search(r'^license\s*=\s*\{\s*text\s*=\s*"([^"]*)"', text, re.M) or [None, None])[1],
            "author": (re.search(r'^authors\s*=\s*\[\{\s*name\s*=\s*"([^"]*)"', text, re.M) or [None, None])[1],
            "classifiers": re.findall(r'"([^"]+)"', classifiers.group(1)) if classifiers else []}


def _metadata(project):
    lines = ["Metadata-Version: 2.1", "Name: " + project["name"], "Version: " + project["version"]]
    for key, header in (("description", "Summary"), ("requires-python", "Requires-Python"),
                        ("license", "License"), ("author", "Author")):
        if project[key]:
            lines.append("%s: %s" % (header, project[key]))
    lines += ["Classifier: " + classifier for classifier in project["classifiers"]]
    return "\n".join(lines) + "\n"


def _read(name):
    with open(os.path.join(HERE, name), "rb") as file:  # LICENSE may be a link: its target is read
        return file.read()


def get_requires_for_build_wheel(config_settings=None):
    return []


def get_requires_for_build_sdist(config_settings=None):
    return []


def build_wheel(wheel_directory, config_settings=None, metadata_directory=None):
    project = _project()
    stem = "%s-%s" % (project["name"], project["version"])
    info = stem + ".dist-info/"
    files = [(MODULE, _read(MODULE)), (info + "METADATA", _metadata(project).encode()),
             (info + "WHEEL", ("Wheel-Version: 1.0\nGenerator: wheel_backend\nRoot-Is-Purelib: true\nTag: %s\n"
                               % TAG).encode()),
             (info + "LICENSE", _read("LICENSE"))]
    record = ""
    for name, data in files:
        digest = base64.urlsafe_b64encode(hashlib.sha256(data).digest()).rstrip(b"=").decode()
        record += "%s,sha256=%s,%d\n" % (name, digest, len(data))
    files.append((info + "RECORD", (record + info + "RECORD,,\n").encode()))
    wheel = "%s-%s.whl" % (stem, TAG)
    with zipfile.ZipFile(os.path.join(wheel_directory, wheel), "w", zipfile.ZIP_DEFLATED) as archive:
        for name, data in files:
            archive.writestr(zipfile.ZipInfo(name, (1980, 1, 1, 0, 0, 0)), data)
    return wheel


def build_sdist(sdist_directory, config_settings=None):
    project = _project()
    stem = "%s-%s" % (project["name"], project["version"])
    with tarfile.open(os.path.join(sdist_directory, stem + ".tar.gz"), "w:gz", format=tarfile.PAX_FORMAT) as archive:
        for name, data in [(name, _read(name)) for name in SOURCES] + [("PKG-INFO", _metadata(project).encode())]:
            member = tarfile.TarInfo("%s/%s" % (stem, name))
            member.size = len(data)
            member.mode = 0o644
            archive.addfile(member, io.BytesIO(data))
    return stem + ".tar.gz"
