# SPDX-License-Identifier: Apache-2.0
# The simulated device of tests/control/with_simulator.sh, under which these
# tests run: its name and a way to send the simulator control lines.
import os
import time

import pytest


@pytest.fixture
def device():
    return os.environ["VEXOKRT_DEVICE"]


def _replies():
    with open(os.environ["VEXOKRT_SIM_REPLIES"]) as replies:
        return replies.read().count("\n")


@pytest.fixture
def sim():
    # Sends a control line and returns once the simulator has carried it out
    # (one more line of its output), so that what the test does next meets it.
    def send(line):
        before = _replies()
        with open(os.environ["VEXOKRT_SIM_CONTROL"], "w") as control:
            control.write(line + "\n")
        deadline = time.monotonic() + 5
        while _replies() <= before and time.monotonic() < deadline:
            time.sleep(0.01)
        assert _replies() > before, "the simulator did not answer " + line
    return send
