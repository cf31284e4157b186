"""A build backend (PEP 517) for this one pure-Python package, from the standard library only:
a wheel of quenwick/ with its metadata, and a source archive of the folder."""
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
NAME, VERSION = PROJECT["name"], PROJECT["version"]
DIST_INFO = f"{NAME}-{VERSION}.dist-info"


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
    files = {str(path.relative_to(ROOT)): path.read_bytes()
             for path in sorted((ROOT / NAME).rglob("*"))
             if path.is_file() and "__pycache__" not in path.parts}
    files[f"{DIST_INFO}/METADATA"] = _metadata().encode()
    files[f"{DIST_INFO}/LICENSE"] = (ROOT / "LICENSE").read_bytes()
    files[f"{DIST_INFO}/WHEEL"] = (b"Wheel-Version: 1.0\nGenerator: quenwick-backend\n"
                                   b"Root-Is-Purelib: true\nTag: py3-none-any\n")
    record = [_record_line(name, data) for name, data in files.items()]
    files[f"{DIST_INFO}/RECORD"] = ("\n".join(record + [f"{DIST_INFO}/RECORD,,"]) + "\n").encode()
    wheel = f"{NAME}-{VERSION}-py3-none-any.whl"
    with zipfile.ZipFile(pathlib.Path(wheel_directory) / wheel, "w", zipfile.ZIP_DEFLATED) as zf:
        for name, data in files.items():
            zf.writestr(name, data)
    return wheel


def build_sdist(sdist_directory, config_settings=None):
    base = f"{NAME}-{VERSION}"
    archive = f"{base}.tar.gz"
    with tarfile.open(pathlib.Path(sdist_directory) / archive, "w:gz") as tf:
        for path in sorted(ROOT.rglob("*")):
            if path.is_file() and "__pycache__" not in path.parts and ".mypy_cache" not in path.parts:
                tf.add(path, f"{base}/{path.relative_to(ROOT)}")
        info = tarfile.TarInfo(f"{base}/PKG-INFO")
        data = _metadata().encode()
        info.size = len(data)
        tf.addfile(info, io.BytesIO(data))
    return archive
