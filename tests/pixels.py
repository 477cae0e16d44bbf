"""Figures compared as a person would see them: by their pixels."""

import numpy as np


def pixels(path):
    from matplotlib.image import imread

    return imread(path)


def assert_looks_the_same(first, second, *, changed=0.002):
    """Same size, and at most a `changed` share of the pixels visibly different (anti-aliasing may move)."""
    a, b = pixels(first), pixels(second)
    assert a.shape == b.shape
    differs = np.abs(a - b).max(axis=-1) > 0.1
    assert differs.mean() <= changed, f"{differs.mean():.4%} of the pixels differ"
