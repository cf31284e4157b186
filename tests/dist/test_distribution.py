"""The packages of scripts/package as a user meets them: the Linux agents they carry need no more
of the system than glibc 2.34 and GCC 11's runtime, the arm64 one runs under qemu-user, each
platform's package carries its agent (Windows' as quenwick.exe), and each package for this
machine, installed from its file alone into an empty folder or a fresh venv with no quenwick on
the PATH and no QUENWICK_BINARY, records a real player on the private PipeWire; pip refuses the
others' wheels. Each is what the registries take: every manifest names its repository, homepage,
bug tracker and license, npm publish --dry-run and twine check --strict pass, and the source
archive holds what git tracks."""
import json
import os
import pathlib
import re
import shutil
import subprocess
import sys
import tarfile
import wave
import zipfile

import numpy as np
import pytest

from conftest import level_dbfs

ROOT = pathlib.Path(__file__).resolve().parents[2]
VERSION = (ROOT / "VERSION").read_text().strip()


@pytest.fixture(scope="module")
def dist(tmp_path_factory):
    out = tmp_path_factory.mktemp("dist")
    subprocess.run([ROOT / "scripts" / "package", "--out", out], check=True)
    return out


def agent(dist, platform, into):
    """The agent that the npm package of `platform` carries."""
    path = into / platform
    with tarfile.open(dist / f"quenwick-{platform}-{VERSION}.tgz") as tar:  # @quenwick/PLATFORM
        path.write_bytes(tar.extractfile("package/bin/quenwick").read())
    path.chmod(0o755)
    return path


# The oldest runtime an agent may need: glibc 2.34 (Debian 12, Ubuntu 22.04, Fedora 35, RHEL 9)
# with the libstdc++ and libgcc_s of GCC 11 (Fedora 35 and RHEL 9; the others ship newer ones).
FLOOR = {"GLIBC": (2, 34), "GLIBCXX": (3, 4, 29), "CXXABI": (1, 3, 13), "GCC": (7, 0, 0)}
RUNTIME = {"libc.so.6", "libm.so.6", "libstdc++.so.6", "libgcc_s.so.1"}
MACHINES = {"linux-x64": ("Advanced Micro Devices X86-64", "/lib64/ld-linux-x86-64.so.2"),
            "linux-arm64": ("AArch64", "/lib/ld-linux-aarch64.so.1")}


@pytest.mark.parametrize("platform", MACHINES)
def test_an_agent_needs_only_the_c_and_cxx_runtimes_at_the_floor(dist, platform, tmp_path):
    machine, loader = MACHINES[platform]
    elf = subprocess.run(["readelf", "-W", "-h", "-l", "-d", "-V",
                          agent(dist, platform, tmp_path)],
                         check=True, capture_output=True, text=True).stdout
    assert re.search(rf"Machine:\s+{machine}$", elf, re.M)
    assert f"[Requesting program interpreter: {loader}]" in elf
    needed = set(re.findall(r"\(NEEDED\)\s+Shared library: \[(.+)\]", elf))
    assert "libc.so.6" in needed and needed <= RUNTIME | {loader.rsplit("/", 1)[1]}, needed
    assert not re.search(r"\((RPATH|RUNPATH)\)", elf)
    # The version needs: each symbol version the loader will ask of those libraries.
    versions = re.findall(r"Name: ([A-Z]+)_([\d.]+)", elf)
    past = [f"{family}_{number}" for family, number in versions
            if tuple(map(int, number.split("."))) > FLOOR.get(family, ())]
    assert versions and not past, f"needs more than the floor: {past}"
    # Both hosts refuse a glibc older than the one the agent needs, and no newer one.
    needed = max(tuple(map(int, number.split("."))) for family, number in versions
                 if family == "GLIBC")
    python = (ROOT / "hosts" / "python" / "quenwick" / "_system.py").read_text()
    node = (ROOT / "hosts" / "node" / "system.cjs").read_text()
    assert f"GLIBC_FLOOR = {needed}" in python and \
        f"GLIBC_FLOOR = [{', '.join(map(str, needed))}]" in node, needed


USAGE = {(): "give --pids or --global", ("--pids",): "--pids needs a value",
         ("--global", "--exclude-self"): "--exclude-self needs a value",
         ("--pids=42",): "unknown argument --pids=42"}


def test_the_arm64_agent_runs_under_qemu_user(dist, tmp_path):
    qemu = ["qemu-aarch64", "-L", "/usr/aarch64-linux-gnu", agent(dist, "linux-arm64", tmp_path)]
    for arguments, message in USAGE.items():
        run = subprocess.run(qemu + list(arguments), capture_output=True, env={})
        assert (run.returncode, run.stdout, run.stderr) == (
            1, b"", f'{{"event":"error","message":"{message}"}}\n'.encode()), arguments
    # No arm64 libpipewire is installed here, and no server listens in an empty runtime folder.
    run = subprocess.run(qemu + ["--global"], capture_output=True,
                         env={"XDG_RUNTIME_DIR": str(tmp_path)})
    event = json.loads(run.stderr)
    assert (run.returncode, run.stdout, event["event"]) == (2, b"", "error")
    assert "libpipewire-0.3.so.0" in event["message"] or event["message"].startswith(
        "could not connect to PipeWire: no server answers"), event


# Each platform that this machine packages: its npm package's os and cpu, its wheel's tag, and
# the agent's name in both.
PACKAGES = {"linux-x64": (["linux"], ["x64"], "manylinux_2_34_x86_64", "quenwick"),
            "linux-arm64": (["linux"], ["arm64"], "manylinux_2_34_aarch64", "quenwick"),
            "win32-x64": (["win32"], ["x64"], "win_amd64", "quenwick.exe")}


def test_scripts_package_makes_every_package_at_the_projects_version(dist):
    names = [f"quenwick-{VERSION}.tgz", f"quenwick-{VERSION}.tar.gz",
             f"quenwick-{VERSION}-py3-none-any.whl"]
    for platform, (os_, cpu, tag, binary) in PACKAGES.items():
        names += [f"quenwick-{platform}-{VERSION}.tgz", f"quenwick-{VERSION}-py3-none-{tag}.whl"]
        with tarfile.open(dist / names[-2]) as tar:
            manifest = json.load(tar.extractfile("package/package.json"))
            mode = tar.getmember(f"package/bin/{binary}").mode
        assert (manifest["os"], manifest["cpu"], manifest["files"], mode) == (
            os_, cpu, [f"bin/{binary}"], 0o755), platform
        with zipfile.ZipFile(dist / names[-1]) as wheel:
            assert wheel.getinfo(f"quenwick/_bin/{binary}").external_attr >> 16 == 0o100755
    assert sorted(path.name for path in dist.iterdir()) == sorted(names)
    with tarfile.open(dist / f"quenwick-{VERSION}.tgz") as tar:
        manifest = json.load(tar.extractfile("package/package.json"))
    assert (manifest["version"], manifest["optionalDependencies"]) == (VERSION, {
        "@quenwick/linux-x64": VERSION, "@quenwick/linux-arm64": VERSION,
        "@quenwick/darwin-universal": VERSION, "@quenwick/win32-x64": VERSION})
    assert not {"scripts", "devDependencies"} & set(manifest), "only a checkout needs them"


# What npm's provenance checks against the repository, and a user looks for.
PUBLISHED = {"repository": {"type": "git", "url": "git+https://github.com/quenwick/quenwick.git",
                            "directory": "hosts/node"}, "license": "MIT",
             "bugs": {"url": "https://github.com/quenwick/quenwick/issues"},
             "homepage": "https://github.com/quenwick/quenwick/tree/main/hosts/node#readme",
             "engines": {"node": ">=18"}}


def test_every_manifest_is_what_npm_publishes(dist):
    for tarball in sorted(dist.glob("*.tgz")):
        with tarfile.open(tarball) as tar:
            manifest = json.load(tar.extractfile("package/package.json"))
        assert PUBLISHED.items() <= manifest.items(), tarball.name
        subprocess.run(["npm", "publish", "--dry-run", "--loglevel=error", tarball], check=True,
                       capture_output=True)


# Debian 12's twine (4.0.2) reads metadata through a pkginfo that stops at Metadata-Version 2.2;
# 2.4 is 2.2 with the license as an SPDX expression and its files.
TWINE = """import sys
import pkginfo.distribution as d
d.HEADER_ATTRS.setdefault("2.4", d.HEADER_ATTRS["2.2"] + (
    ("License-Expression", "license_expression", False), ("License-File", "license_file", True)))
from twine.__main__ import main
sys.argv[0] = "twine"
sys.exit(main())
"""


def test_every_wheel_and_the_source_archive_pass_twine_check_and_hold_what_they_should(dist):
    python = sorted(dist.glob("*.whl")) + sorted(dist.glob("*.tar.gz"))
    checked = subprocess.run([sys.executable, "-c", TWINE, "check", "--strict", *python],
                             capture_output=True, text=True)
    assert checked.returncode == 0 and checked.stdout.count("PASSED") == len(python), \
        checked.stdout + checked.stderr
    with zipfile.ZipFile(dist / f"quenwick-{VERSION}-py3-none-any.whl") as wheel:
        info = f"quenwick-{VERSION}.dist-info"
        metadata = wheel.read(f"{info}/METADATA").decode()
        assert wheel.read(f"{info}/licenses/LICENSE") == (ROOT / "LICENSE").read_bytes()
    fields = re.findall(r"^([\w-]+): (.*)$", metadata.split("\n\n", 1)[0], re.M)
    assert {"Metadata-Version": "2.4", "License-Expression": "MIT", "License-File": "LICENSE",
            "Description-Content-Type": "text/markdown; charset=UTF-8"}.items() <= dict(
                fields).items()
    source = "Source, https://github.com/quenwick/quenwick/tree/main/hosts/python"
    assert ("Classifier", "Typing :: Typed") in fields and ("Project-URL", source) in fields
    assert metadata.split("\n\n", 1)[1] == (ROOT / "hosts" / "python" / "README.md").read_text()


def test_the_source_archive_holds_what_git_tracks_and_the_two_files_the_backend_makes(dist):
    tracked = subprocess.run(["git", "ls-files", "hosts/python"], cwd=ROOT, check=True,
                             capture_output=True, text=True).stdout.split()
    if not tracked:  # a copy of the tree inside another checkout (scripts/mutate's)
        pytest.skip("this tree is no git checkout of its own")
    with tarfile.open(dist / f"quenwick-{VERSION}.tar.gz") as sdist:
        names = sorted(sdist.getnames())
    base = f"quenwick-{VERSION}/"
    assert names == sorted([base + "PKG-INFO", base + "VERSION"] +
                           [base + name.removeprefix("hosts/python/") for name in tracked])


@pytest.fixture
def user(pipewire, tmp_path):
    """An empty folder, and a user's environment whose PATH holds only node, npm and python."""
    tools = tmp_path / "tools"
    tools.mkdir()
    for tool in ("node", "npm"):
        (tools / tool).symlink_to(shutil.which(tool))
    env = {k: v for k, v in pipewire.env.items() if k != "QUENWICK_BINARY"}
    env.update(PATH=str(tools), PIP_CONFIG_FILE=os.devnull, npm_config_cache=str(tmp_path / "npm"))
    (tmp_path / "user").mkdir()
    return tmp_path / "user", env


def assert_records_a_player(pipewire, command, folder, env):
    assert shutil.which("quenwick", path=env["PATH"]) is None
    tone = 0.5 * np.sin(2 * np.pi * 441 * np.arange(48000 * 60) / 48000)
    player = pipewire.play(np.stack([tone, tone], 1))
    out = subprocess.run(command + [str(player.pid), "1", "out.wav"], cwd=folder, env=env,
                         check=True, capture_output=True, text=True).stdout
    player.kill()
    assert "running" in out.lower() and f"{player.pid}" in out, out
    with wave.open(str(folder / "out.wav")) as wav:
        pcm = np.frombuffer(wav.readframes(wav.getnframes()), "<i2")
    # A sine at half of full scale: 20 log10(0.5 / sqrt 2) dBFS.
    assert abs(level_dbfs(pcm[np.flatnonzero(pcm)]) + 9.03) < 0.1


def test_npm_installs_this_platforms_agent_from_its_tarball_and_it_hears_a_player(
        dist, pipewire, user):
    folder, env = user
    (folder / "package.json").write_text('{"name": "user", "private": true}')
    # Both tarballs in one command: the platform package comes from its file, and npm skips the
    # optional packages for other platforms, which --offline cannot fetch.
    subprocess.run(["npm", "install", "--offline", "--no-audit", "--no-fund",
                    dist / f"quenwick-{VERSION}.tgz", dist / f"quenwick-linux-x64-{VERSION}.tgz"],
                   cwd=folder, env=env, check=True, capture_output=True)
    modules = folder / "node_modules"
    assert sorted(path.name for path in modules.iterdir() if path.is_dir()) == [
        "@quenwick", "quenwick"]
    agent = modules / "@quenwick" / "linux-x64" / "bin" / "quenwick"
    assert agent.stat().st_mode & 0o777 == 0o755
    shutil.copy(ROOT / "hosts" / "node" / "example" / "record.mjs", folder)
    assert_records_a_player(pipewire, ["node", "record.mjs"], folder, env)


def test_pip_installs_the_wheel_of_this_machine_with_no_index_and_refuses_the_others(
        dist, pipewire, user):
    folder, env = user
    subprocess.run(["/usr/bin/python3", "-m", "venv", folder / "venv"], check=True)
    pip = [str(folder / "venv" / "bin" / "python"), "-m", "pip", "install", "--no-index"]
    wheel = f"quenwick-{VERSION}-py3-none-{{}}.whl"
    for tag in ("manylinux_2_34_aarch64", "win_amd64"):
        refused = subprocess.run(pip + [dist / wheel.format(tag)], env=env, capture_output=True,
                                 text=True)
        assert refused.returncode == 1 and "is not a supported wheel on this platform" in \
            refused.stderr, tag
    subprocess.run(pip + ["--quiet", dist / wheel.format("manylinux_2_34_x86_64")], env=env,
                   check=True)
    env["PATH"] += os.pathsep + str(folder / "venv" / "bin")
    assert_records_a_player(pipewire, ["python", str(ROOT / "hosts" / "python" / "example" /
                                                     "record.py")], folder, env)
