"""Runs the fuzz targets for a given time and reports, per target, the inputs tried,
crashes, hangs, slow inputs and findings (unexpected exceptions or wrong results).

    python -m fuzz.run --minutes 5                   # every target, the time shared out
    python -m fuzz.run --seconds 60 --targets csr_image,callbacks
    python -m fuzz.run --inputs 100000               # a count per target instead of a time

Each target runs in a child process, so that a crash (a segfault, an AddressSanitizer
report) or a hang ends only that child: the parent records it, keeps the input that
caused it and starts a new child for the rest of the target's time. Inputs come from the
target's hypothesis strategy, driven by atheris (coverage-guided, ``pip install
'.[fuzz]'``) when it is installed and ``--engine`` allows, else by random choice
sequences. Every input that found something is written to ``--out``/<target>/ as the
``repr`` of the value; move it to ``tests/fuzz_corpus/<target>/`` to keep it as a
regression case (``tests/test_fuzz_corpus.py`` replays that folder).
"""

import argparse
import hashlib
import json
import os
import random
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)


def atheris_available():
    try:
        import atheris  # noqa: F401
    except ImportError:
        return False
    return True


# --- the child: one target, one process -----------------------------------------------------


class Child:
    def __init__(self, args):
        from hypothesis import HealthCheck, given, settings

        from fuzz.targets import TARGETS

        self.args = args
        self.target = TARGETS[args.child]
        self.inputs = self.slow = self.findings = 0
        self.last_stats = 0.0
        self.current = os.open(args.current, os.O_WRONLY | os.O_CREAT | os.O_TRUNC, 0o644)
        self.out = os.path.join(args.out, self.target.name)
        check = self.run_one

        @settings(database=None, deadline=None, suppress_health_check=list(HealthCheck), max_examples=1)
        @given(self.target.strategy)
        def one(value):
            check(value)

        self.fuzz_one = one.hypothesis.fuzz_one_input

    def run_one(self, value):
        text = repr(value).encode("utf-8", "backslashreplace")
        os.pwrite(self.current, text, 0)
        os.ftruncate(self.current, len(text))
        t0 = time.perf_counter()
        try:
            self.target.check(value)
        except Exception as e:  # a finding: an unexpected exception or a failed check
            self.findings += 1
            self.keep(text, "%s: %s" % (type(e).__name__, e))
        dt = time.perf_counter() - t0
        self.inputs += 1
        if dt > self.args.slow:
            self.slow += 1
            self.keep(text, "slow: %.2f s" % dt, prefix="slow")
        now = time.monotonic()
        if now - self.last_stats > 1.0:
            self.write_stats()
            self.last_stats = now

    def keep(self, text, why, prefix="finding"):
        os.makedirs(self.out, exist_ok=True)
        name = "%s-%s.txt" % (prefix, hashlib.sha1(text).hexdigest()[:12])
        with open(os.path.join(self.out, name), "wb") as f:
            f.write(text)
        sys.stderr.write("[%s] %s (%s)\n" % (self.target.name, why, name))

    def write_stats(self):
        tmp = self.args.stats + ".tmp"
        with open(tmp, "w") as f:
            json.dump({"inputs": self.inputs, "slow": self.slow, "findings": self.findings}, f)
        os.replace(tmp, self.args.stats)

    def feed(self, data):
        try:
            self.fuzz_one(data)
        except Exception:
            pass  # already counted by run_one; hypothesis re-raises it

    def run(self):
        deadline = time.monotonic() + self.args.seconds
        if self.args.engine == "atheris":
            import atheris

            budget = max(1, int(self.args.seconds))
            argv = [
                sys.argv[0],
                "-max_total_time=%d" % budget,
                "-timeout=60",
                "-rss_limit_mb=0",
                "-max_len=4096",
                "-print_final_stats=0",
                "-artifact_prefix=%s/" % os.path.join(self.args.out, ".work"),
            ]
            if self.args.max_inputs:
                argv.append("-runs=%d" % self.args.max_inputs)
            atexit_stats = self.write_stats
            import atexit

            atexit.register(atexit_stats)
            atheris.Setup(argv, self.feed)
            atheris.Fuzz()
        else:
            rng = random.Random(self.args.seed)
            while time.monotonic() < deadline and (not self.args.max_inputs or self.inputs < self.args.max_inputs):
                self.feed(rng.randbytes(rng.choice((16, 64, 256, 1024, 4096))))
        self.write_stats()


# --- the parent: every target, crash and hang bookkeeping ---------------------------------


def run_target(name, seconds, args):
    work = os.path.join(args.out, ".work")
    os.makedirs(work, exist_ok=True)
    stats_file = os.path.join(work, name + ".stats")
    current = os.path.join(work, name + ".current")
    log_path = os.path.join(work, name + ".log")
    totals = {"target": name, "inputs": 0, "crashes": 0, "hangs": 0, "slow": 0, "findings": 0, "seconds": 0.0}
    start = time.monotonic()
    restarts = 0
    while True:
        left = seconds - (time.monotonic() - start)
        if left < 1 or restarts > args.max_restarts:
            break
        if args.max_inputs and totals["inputs"] >= args.max_inputs:
            break
        for f in (stats_file, current):
            if os.path.exists(f):
                os.remove(f)
        cmd = [
            sys.executable,
            "-m",
            "fuzz.run",
            "--child",
            name,
            "--seconds",
            "%.1f" % left,
            "--stats",
            stats_file,
            "--current",
            current,
            "--out",
            args.out,
            "--engine",
            args.engine,
            "--slow",
            str(args.slow),
            "--seed",
            str(args.seed + restarts),
        ]
        if args.max_inputs:
            cmd += ["--inputs", str(args.max_inputs - totals["inputs"])]
        with open(log_path, "ab") as log:
            proc = subprocess.Popen(cmd, cwd=ROOT, stdout=log, stderr=log)
            hung = False
            while proc.poll() is None:
                time.sleep(0.2)
                try:
                    idle = time.time() - os.path.getmtime(current)
                except OSError:
                    idle = 0.0
                if idle > args.timeout:
                    hung = True
                    proc.kill()
                    proc.wait()
        stats = {}
        if os.path.exists(stats_file):
            with open(stats_file) as f:
                stats = json.load(f)
        for k in ("inputs", "slow", "findings"):
            totals[k] += stats.get(k, 0)
        if hung or proc.returncode != 0:
            kind = "hang" if hung else "crash"
            totals["hangs" if hung else "crashes"] += 1
            text = b""
            if os.path.exists(current):
                with open(current, "rb") as cur:
                    text = cur.read()
            dest = os.path.join(args.out, name)
            os.makedirs(dest, exist_ok=True)
            fname = "%s-%s.txt" % (kind, hashlib.sha1(text).hexdigest()[:12])
            with open(os.path.join(dest, fname), "wb") as f:
                f.write(text)
            sys.stderr.write(
                "[%s] %s (exit %s), input kept as %s; log: %s\n" % (name, kind, proc.returncode, fname, log_path)
            )
            restarts += 1
            continue
        if args.engine == "atheris" or not args.max_inputs or totals["inputs"] >= args.max_inputs:
            break
    totals["seconds"] = round(time.monotonic() - start, 1)
    return totals


def main(argv=None):
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--minutes", type=float, help="total time, shared out among the targets")
    ap.add_argument("--seconds", type=float, help="total time in seconds (child: its own time)")
    ap.add_argument("--inputs", dest="max_inputs", type=int, default=0, help="stop a target after this many inputs")
    ap.add_argument("--targets", help="comma-separated target names (default: all)")
    ap.add_argument("--engine", choices=["auto", "atheris", "hypothesis"], default="auto")
    ap.add_argument("--timeout", type=float, default=20.0, help="seconds one input may take before it is a hang")
    ap.add_argument("--slow", type=float, default=1.0, help="seconds above which an input counts as slow")
    ap.add_argument("--out", default=os.path.join(ROOT, "fuzz", "findings"))
    ap.add_argument("--json", help="also write the table as JSON to this file")
    ap.add_argument("--seed", type=int, default=int(time.time()))
    ap.add_argument("--max-restarts", type=int, default=20)
    ap.add_argument("--list", action="store_true", help="list the targets")
    ap.add_argument("--child", help=argparse.SUPPRESS)
    ap.add_argument("--stats", help=argparse.SUPPRESS)
    ap.add_argument("--current", help=argparse.SUPPRESS)
    args = ap.parse_args(argv)
    if args.child:
        Child(args).run()
        return 0
    from fuzz.targets import TARGETS

    if args.list:
        print("\n".join(sorted(TARGETS)))
        return 0
    names = args.targets.split(",") if args.targets else sorted(TARGETS)
    unknown = [n for n in names if n not in TARGETS]
    if unknown:
        ap.error("unknown targets: %s (see --list)" % ", ".join(unknown))
    if args.engine == "auto":
        args.engine = "atheris" if atheris_available() else "hypothesis"
    elif args.engine == "atheris" and not atheris_available():
        ap.error("atheris is not installed (pip install '.[fuzz]')")
    total = args.seconds if args.seconds is not None else (args.minutes or 1.0) * 60
    if args.max_inputs and args.seconds is None and args.minutes is None:
        total = 24 * 3600.0
    per = total / len(names)
    print("fuzzing %d targets, %.0f s each, engine %s" % (len(names), per, args.engine), flush=True)
    rows = []
    for name in names:
        row = run_target(name, per, args)
        rows.append(row)
        print(
            "  %-22s %9d inputs  %d crashes  %d hangs  %d slow  %d findings  (%.0f s)"
            % (name, row["inputs"], row["crashes"], row["hangs"], row["slow"], row["findings"], row["seconds"]),
            flush=True,
        )
    cols = ["target", "inputs", "crashes", "hangs", "slow", "findings", "seconds"]
    print("\n| " + " | ".join(cols) + " |\n|" + "---|" * len(cols))
    for row in rows:
        print("| " + " | ".join(str(row[c]) for c in cols) + " |")
    sums = {c: sum(r[c] for r in rows) for c in cols[1:]}
    print("| **all** | " + " | ".join(str(round(sums[c], 1)) for c in cols[1:]) + " |")
    if args.json:
        with open(args.json, "w") as f:
            json.dump(rows, f, indent=1)
    bad = sums["crashes"] + sums["hangs"] + sums["findings"]
    return 1 if bad else 0


if __name__ == "__main__":
    sys.exit(main())
