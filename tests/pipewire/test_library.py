"""A machine without PipeWire's client library, or with one that lacks a function the agent
calls: the agent still starts, and says in one status line what is missing and what to install,
never in the loader's words."""
import ctypes
import re
import shutil
import subprocess

import pytest

from conftest import LISTED

SONAME = "libpipewire-0.3.so.0"
RUNS = [["--pids", LISTED], ["--global"], ["--pids", LISTED, "--wait"]]
IDS = ["processes", "global", "wait"]


def real_library():
    """The file the loader finds for the soname, as this process loaded it."""
    ctypes.CDLL(SONAME)
    with open("/proc/self/maps") as maps:
        return next(line.split()[-1] for line in maps if "/libpipewire-0.3.so" in line)


def hiding_wrapper():
    """A wrapper that starts the agent in a mount namespace where the library reads as empty, or
    a skip when this machine gives no namespace (root in CI has one)."""
    library = real_library()
    script = f'mount --bind /dev/null {library} && exec "$@"'
    failures = []
    for unshare in (["unshare", "--mount", "--map-root-user"], ["unshare", "--mount"]):
        tried = subprocess.run([*unshare, "sh", "-c", script, "sh", "true"], capture_output=True)
        if tried.returncode == 0:
            return [*unshare, "sh", "-c", script, "sh"]
        failures.append(tried.stderr.decode(errors="replace").strip())
    pytest.skip(f"no mount namespace to hide {library} in: {'; '.join(failures)}")


def the_one_line(run):
    assert run.finish() == 2
    assert run.out == b""
    events = run.events()
    assert len(events) == 1 and events[0]["event"] == "error", events
    message = events[0]["message"]
    assert message.startswith("could not load PipeWire: ") and SONAME in message, message
    assert "libpipewire-0.3-0" in message and "pipewire-libs" in message, message
    return message


@pytest.mark.parametrize("args", RUNS, ids=IDS)
def test_a_hidden_library_is_named_with_what_to_install(agent, args):
    message = the_one_line(agent(args, wrapper=hiding_wrapper()))
    assert not re.search(r"\bpw_", message), message  # no function is to blame


@pytest.fixture(scope="module")
def lacking_library(tmp_path_factory):
    """A library under the soname with every function of the real one but pw_filter_get_node_id,
    first on the loader's path."""
    compiler = shutil.which("cc") or shutil.which("c++")
    if compiler is None:
        pytest.skip("no C compiler to build the stand-in library with")
    exported = subprocess.run(["nm", "-D", "--defined-only", real_library()], check=True,
                              capture_output=True, text=True).stdout.split()
    names = sorted({n for n in exported if n.startswith("pw_")} - {"pw_filter_get_node_id"})
    assert "pw_init" in names and "pw_filter_get_dsp_buffer" in names
    folder = tmp_path_factory.mktemp("lacking")
    source = folder / "stand_in.c"
    source.write_text("".join(f"void {name}(void) {{}}\n" for name in names))
    subprocess.run([compiler, "-x", "c", "-shared", "-fPIC", "-o", folder / SONAME, source],
                   check=True)
    return folder


@pytest.mark.parametrize("args", RUNS, ids=IDS)
def test_a_library_that_lacks_a_function_is_named_with_the_function(agent, lacking_library,
                                                                     args):
    message = the_one_line(agent(args, env={"LD_LIBRARY_PATH": str(lacking_library)}))
    assert re.findall(r"\bpw_\w+", message) == ["pw_filter_get_node_id"], message
