"""The package from this tree, and the project's own test helpers: the agent's build, its
scripted audio layer and the private PipeWire stack."""
import importlib.util
import pathlib
import sys

ROOT = pathlib.Path(__file__).resolve().parents[3]
sys.path.insert(0, str(ROOT / "hosts" / "python"))
_spec = importlib.util.spec_from_file_location("project_tests", ROOT / "tests" / "conftest.py")
project = importlib.util.module_from_spec(_spec)
_spec.loader.exec_module(project)

pipewire = project.pipewire  # the fixture: a private PipeWire stack for the module
