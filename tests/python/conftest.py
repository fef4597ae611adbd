# SPDX-License-Identifier: Apache-2.0
# The simulated device of tests/control/with_simulator.sh, under which these
# tests run: its name and a way to send the simulator control lines.
import os

import pytest


@pytest.fixture
def device():
    return os.environ["VEXOKRT_DEVICE"]


@pytest.fixture
def sim():
    def send(line):
        with open(os.environ["VEXOKRT_SIM_CONTROL"], "w") as control:
            control.write(line + "\n")
    return send
