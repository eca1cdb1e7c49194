"""The fuzz target's seeds, each run once through its comparison with the
model (fuzz/harness.py), without the fuzzer: the harness keeps working
against every build the suite runs against."""

import sys
from pathlib import Path

FUZZ = Path(__file__).resolve().parent.parent / "fuzz"
sys.path.insert(0, str(FUZZ))
import harness  # noqa: E402


def test_seeds_agree_with_the_model():
    seeds = sorted((FUZZ / "seeds").iterdir())
    assert len(seeds) >= 20
    for seed in seeds:
        harness.check(seed.read_bytes())  # raises harness.Finding, which names the input
