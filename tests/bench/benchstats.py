"""The benchmark's arithmetic, apart from Wine so that it can be checked on
any host: reading the runner's output, splitting a stub run into phases,
the order of the runs in a round, and the ratio of paired runs summarised by
its median and interquartile range. Standard library only."""

# The stub's phases as the runner sees them: start to the confirmation box,
# confirmation box to completion box, completion box to exit.
PHASES = ("start", "between", "end")


class RunnerOutputError(Exception):
    pass


def parse_runner(text):
    """The runner's report: {"boxes": [ms, ...], "elapsed": ms, "exit": code,
    "gone": "ok"/"timeout"/None, "idle": "ok"/"timeout"/None, "unexpected": n}.
    Raises RunnerOutputError when the elapsed time or the exit code is
    missing."""
    result = {"boxes": [], "gone": None, "idle": None, "unexpected": 0}
    for line in text.splitlines():
        parts = line.split()
        if not parts:
            continue
        try:
            if parts[0] == "box" and len(parts) == 4:
                result["boxes"].append(float(parts[3]))
            elif parts[0] == "elapsed_ms" and len(parts) == 2:
                result["elapsed"] = float(parts[1])
            elif parts[0] == "exit" and len(parts) == 2:
                result["exit"] = int(parts[1])
            elif parts[0] in ("gone", "idle") and len(parts) == 2:
                result[parts[0]] = parts[1]
            elif len(parts) > 2 and parts[-2] in ("gone", "idle"):
                # The script interpreter shares the console and may leave a
                # line open, so the runner's verdict can follow its text.
                result[parts[-2]] = parts[-1]
            elif parts[0] == "unexpected":
                result["unexpected"] += 1
        except ValueError:
            raise RunnerOutputError("unreadable runner line: %r" % line)
    if "elapsed" not in result or "exit" not in result:
        raise RunnerOutputError("no elapsed time or exit code in:\n%s" % text)
    return result


def phases(run):
    """{"start", "between", "end"} in ms for a run that answered two boxes;
    {"start", "end"} for one box."""
    boxes, elapsed = run["boxes"], run["elapsed"]
    if len(boxes) == 2:
        return {"start": boxes[0], "between": boxes[1] - boxes[0], "end": elapsed - boxes[1]}
    if len(boxes) == 1:
        return {"start": boxes[0], "end": elapsed - boxes[0]}
    raise ValueError("a run with %d boxes has no phases" % len(boxes))


def round_order(sides, index):
    """The order of the sides in round `index`: rotated by one each round, so
    that over the rounds every side runs in every position equally often and
    a drift in the machine's speed falls on all of them alike."""
    n = len(sides)
    shift = index % n
    return list(sides[shift:]) + list(sides[:shift])


def median(values):
    values = sorted(values)
    if not values:
        raise ValueError("median of nothing")
    mid = len(values) // 2
    if len(values) % 2:
        return values[mid]
    return (values[mid - 1] + values[mid]) / 2.0


def quartiles(values):
    """(first quartile, median, third quartile), each by linear interpolation
    between the closest ranks (the usual 'inclusive' method)."""
    values = sorted(values)
    if not values:
        raise ValueError("quartiles of nothing")

    def at(q):
        pos = q * (len(values) - 1)
        low = int(pos)
        high = min(low + 1, len(values) - 1)
        return values[low] + (values[high] - values[low]) * (pos - low)

    return at(0.25), at(0.5), at(0.75)


def pair_ratios(measured, floor):
    """measured[i] / floor[i] for each pair i. Pairs come from the same round:
    only values of one round are compared with each other."""
    if len(measured) != len(floor):
        raise ValueError("%d measured values against %d floor values" % (len(measured), len(floor)))
    if any(f <= 0 for f in floor):
        raise ValueError("a floor time that is not positive: %r" % (floor,))
    return [m / f for m, f in zip(measured, floor)]


class Ratio:
    """The median of the pair ratios and their interquartile range."""

    def __init__(self, measured, floor):
        self.pairs = pair_ratios(measured, floor)
        self.q1, self.median, self.q3 = quartiles(self.pairs)

    @property
    def iqr(self):
        return self.q3 - self.q1

    def line(self, name, note=""):
        """The printed form: `NAME: ratio R (IQR Q1–Q3, N pairs[, note])`."""
        return "%s: ratio %.2f (IQR %.2f–%.2f, %d pairs%s)" % (
            name, self.median, self.q1, self.q3, len(self.pairs), ", " + note if note else "")


def spread(values):
    """`median ms (IQR q1–q3)` of a list of times."""
    q1, mid, q3 = quartiles(values)
    return "%.1f ms (IQR %.1f–%.1f)" % (mid, q1, q3)
