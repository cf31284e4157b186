"""The contract's table (tests/contract.py) on a private PulseAudio daemon with real players."""
import time

import pytest

from contract import rows, run_row, server_roles


@pytest.fixture
def roles(pulseaudio, tmp_path):
    yield from server_roles(pulseaudio, tmp_path, "paplay")


@pytest.mark.parametrize("args, act, status, lines", rows())
def test_the_contract_holds_on_pulseaudio(pulseaudio, roles, tmp_path, args, act, status, lines):
    run_row(lambda a, **o: pulseaudio.agent(a, tmp_path, **o), roles, "pulseaudio", args, act,
            status, lines, lambda run: time.sleep(0.3))
