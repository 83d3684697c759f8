"""What every benchmark of duv shares: options, timing, peak memory and the table.

A benchmark script defines `cases(scale)`, a list of `(name, factory)` pairs whose factory builds a `Case` (data made
at `scale` times the script's own size), and ends with `harness.main(__file__, cases, ...)`. Each case has up to three
sides, timed alternately in the same run:

- package: the duv call;
- floor: the calls to NumPy, pandas and scikit-learn that the package's call must make (the random draws, the
  neighbour search, a DataFrame's `iloc`, NumPy's logarithm...), with the same arguments, on the same data. Where the
  output is rows of the input that the package copies itself (NumPy input), the floor also gathers them once with
  NumPy (`X[rows]`): writing the output is a cost that no implementation avoids. SMOTE's rows are interpolated,
  not copied: its floor is the search and the draws alone;
- baseline: a NumPy / Python statement of the same documented steps, or another package's call where a script
  says so (`main(..., baseline_name=...)` heads its columns).

"own" is package minus floor: the work of the package itself, which is what it can make smaller.

Options: `--scale N` (the data N times larger), `--repeats N`, `--clock wall|cpu`, `--case TEXT`, `--no-memory`,
`--no-check`,
`--baseline` / `--no-baseline` (the baseline is timed up to scale 10 by default: its Python loops and temporaries make
it slow and large beyond).
"""

import argparse
import importlib.util
import multiprocessing as mp
import os
import statistics
import sys
import time
from collections.abc import Callable
from dataclasses import dataclass, field

SIDES = ("package", "floor", "baseline")


@dataclass
class Case:
    package: Callable
    floor: Callable | None = None
    baseline: Callable | None = None
    goal: float | None = None  # package / floor, at most
    baseline_goal: float | None = None  # baseline / package, at least
    check: Callable | None = None  # called with the options' baseline flag before the timing; asserts
    output_mib: float | None = None  # size of what the call returns: the peak memory is compared with it
    memory_goal: float | None = None  # peak memory added by the package's call / output_mib, at most
    memory_over_baseline: float | None = None  # MiB by which the package's peak may exceed the baseline's
    memory_sides: tuple = SIDES  # the sides whose peak memory is measured
    note: str = ""


@dataclass
class Timing:
    best: float  # wall time
    median: float
    cpu: float  # best CPU time of the process: less disturbed by other processes than wall time


@dataclass
class Result:
    name: str
    case: Case  # without its callables, which hold the data
    times: dict = field(default_factory=dict)
    peaks: dict = field(default_factory=dict)
    has: tuple = ()  # the sides the case has, of those whose peak memory is measured


def options(description, repeats):
    parser = argparse.ArgumentParser(description=description)
    parser.add_argument("--scale", type=float, default=1.0, help="data size as a multiple of the script's own")
    parser.add_argument("--repeats", type=int, default=repeats, help="calls of each side (default %(default)s)")
    parser.add_argument("--no-memory", action="store_true", help="skip the peak memory measurements")
    parser.add_argument(
        "--no-check",
        action="store_true",
        help="skip the checks against the baseline and of the floor's draws (for large scales)",
    )
    parser.add_argument("--case", action="append", help="run only the cases whose name contains this text")
    parser.add_argument(
        "--clock",
        choices=("wall", "cpu"),
        default="wall",
        help="the times of the table and its goals: wall time, or CPU time of the process (less "
        "disturbed when other processes load the machine; every call here runs on one thread)",
    )
    group = parser.add_mutually_exclusive_group()
    group.add_argument("--baseline", dest="baseline", action="store_true", default=None, help="time the baseline")
    group.add_argument("--no-baseline", dest="baseline", action="store_false", help="do not time the baseline")
    args = parser.parse_args()
    if args.baseline is None:
        args.baseline = args.scale <= 10
    return args


def scaled(n, scale):
    """An integer size `scale` times `n`."""
    return max(1, int(round(n * scale)))


def measure(sides, repeats, block=1, number=None):
    """Best and median wall time, and best CPU time, of each callable of `sides` (name -> callable), in alternating
    blocks of `block` timings: load from elsewhere on the machine hits every side alike. A timing covers `number`
    calls (by default enough calls for a millisecond, so that short calls are not lost in the clock's overhead)."""
    if number is None:
        start = time.perf_counter()
        next(iter(sides.values()))()
        number = max(1, int(1e-3 / max(time.perf_counter() - start, 1e-9)))
    wall = {name: [] for name in sides}
    cpu = {name: [] for name in sides}
    for _ in range(max(1, repeats // block)):
        for name, fn in sides.items():
            for _ in range(block):
                c0, w0 = time.process_time(), time.perf_counter()
                for _ in range(number):
                    fn()
                wall[name].append((time.perf_counter() - w0) / number)
                cpu[name].append((time.process_time() - c0) / number)
    return {name: Timing(min(wall[name]), statistics.median(wall[name]), min(cpu[name])) for name in sides}


def validated_like(fn, body):
    """`body` called as `fn` is, behind the same scikit-learn parameter validation as `fn` (a function that
    validate_params wrapped): the validation is one of the calls a validated function must make."""
    import inspect

    from sklearn.utils._param_validation import validate_params

    def stub(*args, **kwargs):
        return body(*args, **kwargs)

    stub.__signature__ = inspect.signature(fn)
    stub.__qualname__ = fn.__qualname__
    return validate_params(fn._skl_parameter_constraints, prefer_skip_nested_validation=True)(stub)


def same_draws(a, b):
    """Whether two RandomState objects stand at the same point of their stream."""
    sa, sb = a.get_state(), b.get_state()
    return sa[0] == sb[0] and (sa[1] == sb[1]).all() and sa[2:] == sb[2:]


# ---- peak memory, in a fresh interpreter ----------------------------------------------------------------------


def _rss_kib(field_name):
    with open("/proc/self/status") as fh:
        for line in fh:
            if line.startswith(field_name):
                return int(line.split()[1])
    raise RuntimeError(field_name)


def _load(script):
    spec = importlib.util.spec_from_file_location("_bench_child", script)
    module = importlib.util.module_from_spec(spec)
    sys.modules[spec.name] = module
    spec.loader.exec_module(module)
    return module


def _peak_child(script, name, side, scale, queue):
    try:
        case = dict(_load(script).cases(scale))[name]()
        fn = getattr(case, side)
        fn()  # lazy imports and caches warmed; the measured call starts from the same state
        with open("/proc/self/clear_refs", "w") as fh:
            fh.write("5")  # resets the peak resident-set mark
        before = _rss_kib("VmRSS:")
        result = fn()
        queue.put((_rss_kib("VmHWM:") - before) / 1024.0)
        del result
    except BaseException as e:  # reported by the parent
        queue.put(repr(e))


def peak_mib(script, name, side, scale):
    """MiB that one call of a side adds to the resident set at its peak. A fresh interpreter whose malloc maps every
    large block on its own, so that a freed array leaves the resident set at once."""
    os.environ["MALLOC_MMAP_THRESHOLD_"] = "131072"
    ctx = mp.get_context("spawn")
    queue = ctx.Queue()
    proc = ctx.Process(target=_peak_child, args=(os.path.abspath(script), name, side, scale, queue))
    proc.start()
    result = queue.get()
    proc.join()
    if isinstance(result, str):
        raise RuntimeError(f"peak memory of {name} ({side}): {result}")
    return result


# ---- the table ---------------------------------------------------------------------------------------------------


def _on(timing, clock):
    return timing.cpu if clock == "cpu" else timing.best


def _ms(t):
    if t is None:
        return f"{'-':>10s}"
    return f"{t * 1e3:10.1f}" if t >= 0.1 else f"{t * 1e3:10.4f}"


def print_times(results, width, clock="wall", baseline_name="baseline"):
    print(
        f"{'case':{width}s} {'package ms':>10s} {'floor ms':>10s} {baseline_name + ' ms':>11s} {'pkg/floor':>9s} "
        f"{'goal':>5s} {baseline_name[:4] + '/pkg':>8s} {'goal':>5s} {'own ms':>8s} {'own/floor':>9s}"
    )
    ok = True
    for r in results:
        t = {side: _on(r.times[side], clock) if side in r.times else None for side in SIDES}
        pkg, floor, base = t["package"], t["floor"], t["baseline"]
        line = f"{r.name:{width}s} {_ms(pkg)} {_ms(floor)} {_ms(base)[-11:]:>11s}"
        if floor is not None:
            ratio = pkg / floor
            met = r.case.goal is None or ratio <= r.case.goal
            ok &= met
            goal = f"{r.case.goal:.2f}" if r.case.goal else "-"
            line += f" {ratio:8.2f}x{' ' if met else '!'}{goal:>5s}"
        else:
            line += f" {'-':>9s} {'-':>5s}"
        if base is not None:
            ratio = base / pkg
            met = r.case.baseline_goal is None or ratio >= r.case.baseline_goal
            ok &= met
            goal = f"{r.case.baseline_goal:g}" if r.case.baseline_goal else "-"
            line += f" {ratio:7.2f}x{' ' if met else '!'}{goal:>5s}"
        else:
            line += f" {'-':>8s} {'-':>5s}"
        if floor is not None:
            own = pkg - floor
            line += (
                f" {own * 1e3:8.1f} {own / floor:8.0%} "
                if abs(own) >= 1e-4
                else f" {own * 1e3:8.4f} {own / floor:8.0%} "
            )
        print(line + (f"  {r.case.note}" if r.case.note else ""))
    floors = [r for r in results if "floor" in r.times]
    if floors:
        other = "wall" if clock == "cpu" else "cpu"
        print(
            f"  ({clock} time, best of the runs; package/floor of the wall-time medians: "
            + ", ".join(f"{r.times['package'].median / r.times['floor'].median:.2f}x" for r in floors)
            + f"; of the best {other} times: "
            + ", ".join(f"{_on(r.times['package'], other) / _on(r.times['floor'], other):.2f}x" for r in floors)
            + ")"
        )
    return ok


def print_peaks(results, width, baseline_name="baseline"):
    rows = [r for r in results if r.peaks]
    if not rows:
        return True
    print(
        f"\n{'case (peak memory added by one call)':{width}s} {'package':>9s} {'floor':>9s} {baseline_name:>9s} "
        f"{'output':>9s} {'pkg/output':>10s} {'goal':>5s}"
    )
    ok = True
    for r in rows:
        cells = " ".join(f"{r.peaks[s]:8.1f}M" if s in r.peaks else f"{'-':>9s}" for s in SIDES)
        out = r.case.output_mib
        line = f"{r.name:{width}s} {cells} " + (f"{out:8.1f}M" if out else f"{'-':>9s}")
        if out:
            ratio = r.peaks["package"] / out
            met = r.case.memory_goal is None or ratio <= r.case.memory_goal
            ok &= met
            goal = f"{r.case.memory_goal:.2f}" if r.case.memory_goal else "-"
            line += f" {ratio:9.2f}x{' ' if met else '!'}{goal:>5s}"
        over = r.case.memory_over_baseline
        if over is not None and "baseline" in r.peaks:
            extra = r.peaks["package"] - r.peaks["baseline"]
            met = extra <= over
            ok &= met
            line += f"  package - {baseline_name} {extra:+.1f}M{' ' if met else '!'} (goal +{over:g}M)"
        print(line)
    return ok


def main(script, cases, description, repeats=5, block=1, memory=True, baseline_name="baseline"):
    """Runs every case of `cases(scale)`: the check, the timings, then the peak memory of the cases that name an
    output size (of every side when `memory` is true). Exits with status 1 when a goal is missed. `baseline_name`
    heads the baseline's columns (a script whose baseline is another package's call names it)."""
    args = options(description, repeats)
    print(
        f"{os.path.basename(script)} at scale {args.scale:g}, best {args.clock} time of {args.repeats} alternating "
        f"runs ({os.cpu_count()} cores, Python {sys.version.split()[0]})"
    )
    selected = [(n, f) for n, f in cases(args.scale) if not args.case or any(c in n for c in args.case)]
    width = max([36] + [len(n) for n, _ in selected])
    results = []
    for name, factory in selected:
        case = factory()
        if case.check is not None and not args.no_check:
            case.check(args.baseline)
        sides = {s: getattr(case, s) for s in SIDES if getattr(case, s) is not None}
        if not args.baseline:
            sides.pop("baseline", None)
        for fn in sides.values():
            fn()  # warm-up
        has = tuple(s for s in case.memory_sides if getattr(case, s) is not None)
        times = measure(sides, args.repeats, block)
        case.package = case.floor = case.baseline = case.check = None
        results.append(Result(name, case, times, has=has))
        del case, sides
    ok = print_times(results, width, args.clock, baseline_name)
    if memory and not args.no_memory:
        for r in results:
            if r.case.output_mib is None:
                continue
            for side in r.has:
                if side != "baseline" or args.baseline:
                    r.peaks[side] = peak_mib(script, r.name, side, args.scale)
        ok &= print_peaks(results, width, baseline_name)
    print("\nall goals met" if ok else "\nsome goal missed (marked !)")
    return 0 if ok else 1
