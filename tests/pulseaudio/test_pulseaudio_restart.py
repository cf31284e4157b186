"""The PulseAudio daemon restarts under the agent (tests/restarts.py)."""
import pytest

import restarts
from conftest import PulseAudio


@pytest.fixture
def daemon(tmp_path):
    daemon = PulseAudio(tmp_path / "daemon")
    yield daemon
    daemon.stop()


@pytest.mark.parametrize("recover", [True, False])
def test_a_restart_while_waiting(daemon, tmp_path, recover):
    restarts.a_restart_while_waiting(daemon, tmp_path, recover)


def test_two_restarts_in_a_run_are_heard_as_silence_in_time(daemon, tmp_path):
    restarts.two_restarts_in_a_run(daemon, tmp_path)
