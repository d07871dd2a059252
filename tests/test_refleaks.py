"""Reference-leak check: many calls of each case in tests/leakcheck.py, succeeding and failing,
must not grow traced memory nor change the reference counts of the module's objects."""

import gc
import sys
import tracemalloc
import types

import pytest

from leakcheck import CASES

WARMUP = 200
CALLS = 4000
# A leaked object costs at least 16 bytes per call, in every round. Caches that fill once or
# now and then (method caches, free lists, the allocator's own bookkeeping under a sanitizer)
# grow one round but not the next, so the smaller growth of two rounds is what counts.
BYTES_PER_CALL = 4


def run(case, env, count):
    for _ in range(count):
        if case.raises:
            try:
                case.call(env)
            except case.raises:
                continue
            pytest.fail(f"{case.id}: expected {case.raises} to be raised")
        else:
            case.call(env)


def refcounts(objects):
    return [sys.getrefcount(obj) for obj in objects]


@pytest.mark.parametrize("case", CASES, ids=[c.id for c in CASES])
def test_no_leak(orvik, request, case):
    env = types.SimpleNamespace(orvik=orvik, sim=request.getfixturevalue("sim") if case.needs_sim else None)
    watched = [*vars(orvik).values(), *orvik.ASI_ERROR_CODE_TO_EXCEPTION.values(), *case.watch]
    run(case, env, WARMUP)
    gc.collect()
    tracemalloc.start()
    try:
        before_counts = refcounts(watched)
        growth = []
        for _ in range(2):
            gc.collect()
            before = tracemalloc.get_traced_memory()[0]
            run(case, env, CALLS)
            gc.collect()
            growth.append(tracemalloc.get_traced_memory()[0] - before)
        after_counts = refcounts(watched)
    finally:
        tracemalloc.stop()
    changed = [(repr(obj)[:60], b, a) for obj, b, a in zip(watched, before_counts, after_counts) if a != b]
    assert changed == []
    assert min(growth) < BYTES_PER_CALL * CALLS, f"{case.id}: {growth} bytes over rounds of {CALLS} calls"


def test_the_check_detects_a_leak(orvik):
    # The measure itself must see a leak of one small object per call.
    kept = []
    case = types.SimpleNamespace(id="leaky", raises=(), call=lambda env: kept.append(object()))
    tracemalloc.start()
    try:
        before = tracemalloc.get_traced_memory()[0]
        run(case, None, CALLS)
        after = tracemalloc.get_traced_memory()[0]
    finally:
        tracemalloc.stop()
    assert after - before >= BYTES_PER_CALL * CALLS
