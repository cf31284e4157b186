"""The contract's table (tests/contract.py) on a private PipeWire server with real players."""
import time

import pytest

from contract import rows, run_row, server_roles


@pytest.fixture
def roles(pipewire, tmp_path):
    yield from server_roles(pipewire, tmp_path, "pw-play")


@pytest.mark.parametrize("args, act, status, lines", rows())
def test_the_contract_holds_on_pipewire(pipewire, roles, tmp_path, args, act, status, lines):
    run_row(lambda a, **o: pipewire.agent(a, tmp_path, **o), roles, "pipewire", args, act,
            status, lines, lambda run: time.sleep(0.3))
