"""A build backend (PEP 517, and PEP 660 for editable installs) for this package, from the
standard library only, so that pip installs it from this folder with no package index: a wheel
of quenwick/ with its metadata, an editable wheel that points at this folder, and a source
archive of what git tracks here. Given a prebuilt agent and a platform tag (config settings
"agent" and "tag"), the wheel carries that agent as quenwick/_bin/quenwick (quenwick.exe for a
Windows tag) and holds for that platform only."""
import ast
import base64
import hashlib
import io
import pathlib
import re
import subprocess
import tarfile
import zipfile

ROOT = pathlib.Path(__file__).resolve().parent.parent


def read_toml(text):
    """The tables of a pyproject.toml: tomllib's reading, or on Pythons before 3.11, which lack
    it, the reading of the subset this file uses (tables, strings, arrays of strings)."""
    try:
        import tomllib
    except ImportError:
        return read_toml_subset(text)
    return tomllib.loads(text)


def read_toml_subset(text):
    tables, table, pending = {}, None, ""
    for line in text.splitlines():
        # A comment starts at a # outside a string: the file's strings hold no #.
        line = pending + re.sub(r"#[^\"]*$", "", line).strip()
        if not line:
            continue
        heading = re.fullmatch(r"\[([\w.-]+)\]", line)
        if heading:
            table = tables
            for part in heading.group(1).split("."):
                table = table.setdefault(part, {})
            continue
        key, _, value = line.partition("=")
        if value.count("[") > value.count("]"):  # an array that goes on
            pending = line + " "
            continue
        pending = ""
        table[key.strip().strip('"')] = ast.literal_eval(value.strip())
    return tables


PROJECT = read_toml((ROOT / "pyproject.toml").read_text(encoding="utf-8"))["project"]
NAME = PROJECT["name"]
# The project's one version: the tree's VERSION, which a source archive carries at its root.
VERSION = next(path for path in (ROOT / "VERSION", ROOT.parent.parent / "VERSION")
               if path.is_file()).read_text().strip()
DIST_INFO = f"{NAME}-{VERSION}.dist-info"
AGENT = f"{NAME}/_bin/quenwick"


def metadata():
    """The core metadata (2.4: the license as an SPDX expression, its file in licenses/)."""
    fields = [("Metadata-Version", "2.4"), ("Name", NAME), ("Version", VERSION),
              ("Summary", PROJECT["description"]), ("Keywords", ",".join(PROJECT["keywords"])),
              ("Requires-Python", PROJECT["requires-python"]),
              ("License-Expression", PROJECT["license"])]
    fields += [("License-File", name) for name in PROJECT["license-files"]]
    fields += [("Classifier", classifier) for classifier in PROJECT["classifiers"]]
    fields += [("Project-URL", f"{label}, {url}") for label, url in PROJECT["urls"].items()]
    fields.append(("Description-Content-Type", "text/markdown; charset=UTF-8"))
    head = "".join(f"{field}: {value}\n" for field, value in fields)
    return head + "\n" + (ROOT / PROJECT["readme"]).read_text(encoding="utf-8")


def _record_line(name, data):
    digest = base64.urlsafe_b64encode(hashlib.sha256(data).digest()).rstrip(b"=").decode()
    return f"{name},sha256={digest},{len(data)}"


def get_requires_for_build_wheel(config_settings=None):
    return []


def get_requires_for_build_sdist(config_settings=None):
    return []


def get_requires_for_build_editable(config_settings=None):
    return []


def _wheel(wheel_directory, files, tag, purelib, agent=None):
    """Writes a wheel of `files` (name: bytes) with its dist-info; returns its file name."""
    files[f"{DIST_INFO}/METADATA"] = metadata().encode()
    for name in PROJECT["license-files"]:
        files[f"{DIST_INFO}/licenses/{name}"] = (ROOT / name).read_bytes()
    files[f"{DIST_INFO}/WHEEL"] = (f"Wheel-Version: 1.0\nGenerator: quenwick-backend\nRoot-Is-"
                                   f"Purelib: {str(purelib).lower()}\nTag: {tag}\n").encode()
    record = [_record_line(name, data) for name, data in files.items()]
    files[f"{DIST_INFO}/RECORD"] = ("\n".join(record + [f"{DIST_INFO}/RECORD,,"]) + "\n").encode()
    wheel = f"{NAME}-{VERSION}-{tag}.whl"
    with zipfile.ZipFile(pathlib.Path(wheel_directory) / wheel, "w", zipfile.ZIP_DEFLATED) as zf:
        for name, data in files.items():
            entry = zipfile.ZipInfo(name, (1980, 1, 1, 0, 0, 0))
            # pip keeps the executable bit of an entry whose mode has one.
            entry.external_attr = (0o100755 if name == agent else 0o100644) << 16
            zf.writestr(entry, data, zipfile.ZIP_DEFLATED)
    return wheel


def build_wheel(wheel_directory, config_settings=None, metadata_directory=None):
    settings = config_settings or {}
    if ("agent" in settings) != ("tag" in settings):
        raise ValueError('a wheel with an agent needs both config settings, "agent" and "tag"')
    tag = f"py3-none-{settings['tag']}" if "agent" in settings else "py3-none-any"
    files = {str(path.relative_to(ROOT)): path.read_bytes()
             for path in sorted((ROOT / NAME).rglob("*"))
             if path.is_file() and "__pycache__" not in path.parts}
    # Windows runs only an .exe; its tags are win32, win_amd64 and win_arm64.
    agent = AGENT + ".exe" if settings.get("tag", "").startswith("win") else AGENT
    if "agent" in settings:
        files[agent] = pathlib.Path(settings["agent"]).read_bytes()
    return _wheel(wheel_directory, files, tag, "agent" not in settings, agent)


def build_editable(wheel_directory, config_settings=None, metadata_directory=None):
    """A wheel whose .pth puts this folder on sys.path: the package is used where it is edited."""
    files = {f"_{NAME}_editable.pth": f"{ROOT}\n".encode()}
    return _wheel(wheel_directory, files, "py3-none-any", True)


def _tracked():
    """The files of this folder that git tracks; in a folder that is no checkout (an unpacked
    source archive, which holds only tracked files) every file but Python's caches."""
    try:
        listed = subprocess.run(["git", "ls-files", "-z", "--", "."], cwd=ROOT, check=True,
                                capture_output=True).stdout
    except (OSError, subprocess.CalledProcessError):
        listed = b""
    if not listed:  # no checkout, or one of another project that holds this folder untracked
        return sorted(str(path.relative_to(ROOT)) for path in ROOT.rglob("*")
                      if path.is_file() and not {"__pycache__", ".mypy_cache", ".pytest_cache"}
                      & set(path.parts))
    # A tracked file deleted in the work tree is not there to archive.
    return sorted(name for name in listed.decode().split("\0") if name and (ROOT / name).is_file())


def build_sdist(sdist_directory, config_settings=None):
    base = f"{NAME}-{VERSION}"
    archive = f"{base}.tar.gz"
    with tarfile.open(pathlib.Path(sdist_directory) / archive, "w:gz") as tf:
        made = {"PKG-INFO": metadata(), "VERSION": VERSION + "\n"}
        for name in _tracked():
            if name not in made:
                tf.add(ROOT / name, f"{base}/{name}")
        for name, text in made.items():
            info = tarfile.TarInfo(f"{base}/{name}")
            data = text.encode()
            info.size = len(data)
            tf.addfile(info, io.BytesIO(data))
    return archive
