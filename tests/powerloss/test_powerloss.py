"""The stores of the security service under power cuts: every state that a
cut leaves on the card (ext4, block writes recorded under the image) and on
the backup (calls recorded by strace), once and twice, checked with the
faults tier's invariants. A bounded sample here; bench/service_powerloss.py
enumerates every state of every operation under every model."""
import os

import pytest

from zelsupport import faults, powerloss

OPERATIONS = {op.name: op for op in faults.OPERATIONS}
MODELS = {model.name: model for model in powerloss.MODELS}

# operation, crash model, states checked per recording, first states whose
# recovering start is cut again
SAMPLE = (
    ("store-first-key", "reordering", 12, 3),
    ("clear-last", "in-order", 6, 1),
    ("store-over", "in-order", 8, 1),
    ("start-interrupted-backup", "reordering", 8, 2),
)


@pytest.fixture
def root(board_root):
    if os.geteuid() != 0:
        pytest.skip("needs root: loop devices, mounts, strace, clients as other users")
    return board_root


@pytest.mark.parametrize("name,model,limit,firsts", SAMPLE, ids=[f"{s[0]}-{s[1]}" for s in SAMPLE])
def test_every_sampled_cut_recovers(root, name, model, limit, firsts):
    lines = []
    out = powerloss.run_operation(root, OPERATIONS[name], (MODELS[model],), limit, firsts,
                                  report=lines.append)
    once, twice = out[model]
    assert once.states and once.distinct and twice.states, lines
    assert not once.failed and not twice.failed, "\n".join(lines)
