"""A build backend (PEP 517) for this package, from the standard library only: a wheel of
quenwick/ with its metadata, and a source archive of the folder. Given a prebuilt agent and a
platform tag (config settings "agent" and "tag"), the wheel carries that agent as
quenwick/_bin/quenwick (quenwick.exe for a Windows tag) and holds for that platform only."""
import base64
import hashlib
import io
import pathlib
import re
import tarfile
import zipfile

ROOT = pathlib.Path(__file__).resolve().parent.parent
# The project's plain string fields, read without tomllib, which older Pythons lack.
PROJECT = dict(re.findall(r'^([a-z-]+) = "(.*)"$', (ROOT / "pyproject.toml").read_text(), re.M))
NAME = PROJECT["name"]
# The project's one version: the tree's VERSION, which a source archive carries at its root.
VERSION = next(path for path in (ROOT / "VERSION", ROOT.parent.parent / "VERSION")
               if path.is_file()).read_text().strip()
DIST_INFO = f"{NAME}-{VERSION}.dist-info"
AGENT = f"{NAME}/_bin/quenwick"


def _metadata():
    return (f"Metadata-Version: 2.1\nName: {NAME}\nVersion: {VERSION}\n"
            f"Summary: {PROJECT['description']}\nRequires-Python: {PROJECT['requires-python']}\n"
            f"License: {PROJECT['license']}\n")


def _record_line(name, data):
    digest = base64.urlsafe_b64encode(hashlib.sha256(data).digest()).rstrip(b"=").decode()
    return f"{name},sha256={digest},{len(data)}"


def get_requires_for_build_wheel(config_settings=None):
    return []


def get_requires_for_build_sdist(config_settings=None):
    return []


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
    files[f"{DIST_INFO}/METADATA"] = _metadata().encode()
    files[f"{DIST_INFO}/LICENSE"] = (ROOT / "LICENSE").read_bytes()
    purelib = "false" if "agent" in settings else "true"
    files[f"{DIST_INFO}/WHEEL"] = (f"Wheel-Version: 1.0\nGenerator: quenwick-backend\n"
                                   f"Root-Is-Purelib: {purelib}\nTag: {tag}\n").encode()
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


def build_sdist(sdist_directory, config_settings=None):
    base = f"{NAME}-{VERSION}"
    archive = f"{base}.tar.gz"
    with tarfile.open(pathlib.Path(sdist_directory) / archive, "w:gz") as tf:
        made = {"PKG-INFO": _metadata(), "VERSION": VERSION + "\n"}
        for path in sorted(ROOT.rglob("*")):
            if path.is_file() and "__pycache__" not in path.parts and \
                    ".mypy_cache" not in path.parts and str(path.relative_to(ROOT)) not in made:
                tf.add(path, f"{base}/{path.relative_to(ROOT)}")
        for name, text in made.items():
            info = tarfile.TarInfo(f"{base}/{name}")
            data = text.encode()
            info.size = len(data)
            tf.addfile(info, io.BytesIO(data))
    return archive
