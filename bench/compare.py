#!/usr/bin/python3
"""Side-by-side comparison of quorvale_screen_recorder with ffmpeg's x11grab.

One command: starts its own Xvfb and test windows, records each case with both
programs in turn (A B A B ...), and prints a table of medians with ratios. Also
writes RESULTS.md and results.png (into --out-dir, bench/ by default).

Cases:
  changing  a 1280x720 window redrawn every frame
  typing    a 1280x720 terminal where a line is typed every 200 ms
  scroll    a 1280x720 list that scrolls by three rows once a second
  idle      a 1280x720 window that never changes
  display   an animated window the size of the display (scaled to 1280x720)
  loaded    the changing window while another process keeps one core busy (ours only)
  long      (--long) one minute of the changing window, for the stop latency

Quality (typing, scroll): SSIM and PSNR in RGB of every frame of a movie (decoded at
15 frames a second) against a lossless x11grab capture of the window in the same state.
These windows repeat their states and mark each with a binary code at the top right, which
is read from the decoded frame to pair it with its reference.

--before DIR adds a third program, DIR's recorder, to each turn: before and after a change
in one run.

Only the Python standard library, matplotlib (optional), ffmpeg and ffprobe are used.
"""

import argparse
import datetime
import json
import os
import select
import shutil
import signal
import statistics
import subprocess
import sys
import tempfile
import time
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
CLK_TCK = os.sysconf("SC_CLK_TCK")
DISPLAY_W, DISPLAY_H = 1920, 1080
WARMUP = 1.0  # seconds after the start not counted in CPU rates
HAND_SECTION = "## What each change bought"


def log(*parts):
    print(*parts, file=sys.stderr, flush=True)


def cpu_seconds(pid):
    """utime + stime of every thread of the process, in seconds."""
    with open(f"/proc/{pid}/stat") as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / CLK_TCK


def peak_rss_mb(pid):
    """VmHWM: unlike ru_maxrss it does not inherit this script's size from the fork."""
    with open(f"/proc/{pid}/status") as f:
        return next(int(line.split()[1]) for line in f if line.startswith("VmHWM:")) / 1024


def read_line(stream, deadline):
    """One line from a pipe, or None at EOF or after the deadline (monotonic)."""
    while True:
        remaining = deadline - time.monotonic()
        if remaining <= 0:
            return None
        ready, _, _ = select.select([stream], [], [], remaining)
        if ready:
            line = stream.readline()
            return line if line else None


def reap(proc, timeout=10.0):
    """Waits for a child and returns its rusage; kills it (by pid) past the timeout."""
    deadline = time.monotonic() + timeout
    while True:
        pid, _, usage = os.wait4(proc.pid, os.WNOHANG)
        if pid == proc.pid:
            proc.returncode = 0
            return usage
        if time.monotonic() > deadline:
            os.kill(proc.pid, signal.SIGKILL)
            _, _, usage = os.wait4(proc.pid, 0)
            proc.returncode = -9
            return usage
        time.sleep(0.01)


def end(proc):
    """Terminates a helper process we started, by its pid."""
    if proc is None or proc.poll() is not None:
        return
    proc.terminate()
    try:
        proc.wait(5)
    except subprocess.TimeoutExpired:
        proc.kill()
        proc.wait()


class Xvfb:
    def __init__(self, width, height):
        read_fd, write_fd = os.pipe()
        self.proc = subprocess.Popen(
            ["Xvfb", "-displayfd", str(write_fd), "-screen", "0", f"{width}x{height}x24", "-nolisten", "tcp"],
            pass_fds=[write_fd], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        os.close(write_fd)
        with os.fdopen(read_fd) as f:
            number = f.readline().strip()
        if not number:
            end(self.proc)
            raise RuntimeError("Xvfb did not report a display number")
        self.display = ":" + number

    def close(self):
        end(self.proc)


class Window:
    def __init__(self, tool, env, width, height, x=0, y=0, mode=None):
        args = [tool, "--width", str(width), "--height", str(height), "--x", str(x), "--y", str(y)]
        if mode:
            args.append(mode)
        self.proc = subprocess.Popen(args, env=env, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
        line = read_line(self.proc.stdout, time.monotonic() + 10)
        if not line:
            end(self.proc)
            raise RuntimeError("the test window did not report its id")
        self.id = int(line.strip())
        time.sleep(0.3)  # let it draw once

    def close(self):
        end(self.proc)


def probe(path):
    """Video packet times and sizes, output size, duration and size of the file."""
    out = subprocess.run(
        ["ffprobe", "-v", "error", "-select_streams", "v:0", "-show_entries",
         "stream=width,height:packet=pts_time,size:format=duration,size", "-of", "json", str(path)],
        capture_output=True, text=True, check=True).stdout
    info = json.loads(out)
    packets = info.get("packets", [])
    times = sorted(float(p["pts_time"]) for p in packets if p.get("pts_time") not in (None, "N/A"))
    stream = info["streams"][0]
    return {
        "width": int(stream["width"]), "height": int(stream["height"]),
        "times": times,
        "video_bytes": sum(int(p["size"]) for p in packets),
        "duration": float(info["format"]["duration"]),
        "file_bytes": int(info["format"]["size"]),
    }


CODE_BITS, CODE_BLOCK = 8, 16  # the test window's state code: 8 blocks of 16x16 at the top right


def read_code(pixel, width):
    """The state code of a frame; pixel(x, y) gives a luma-like value at a point."""
    return sum(1 << bit for bit in range(CODE_BITS)
               if pixel(width - CODE_BITS * CODE_BLOCK + (CODE_BITS - 1 - bit) * CODE_BLOCK + CODE_BLOCK // 2,
                        CODE_BLOCK // 2) > 128)


def reference_states(env, display, window_id, width, height, seconds):
    """Every state of a repeating test window, captured losslessly as rgb24: {code: bytes}."""
    cmd = ["ffmpeg", "-nostdin", "-loglevel", "error", "-f", "x11grab", "-window_id", str(window_id),
           "-framerate", "15", "-i", display, "-t", f"{seconds:g}", "-f", "rawvideo", "-pix_fmt", "rgb24", "-"]
    proc = subprocess.Popen(cmd, env=env, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
    size, states = width * height * 3, {}
    try:
        while (frame := proc.stdout.read(size)) and len(frame) == size:
            code = read_code(lambda x, y: frame[(y * width + x) * 3 + 1], width)
            states.setdefault(code, frame)
    finally:
        proc.stdout.close()
        end(proc)
    return states


DECODE = "fps=15,setpts=N/15/TB"  # both passes decode the same frames


def quality(path, states, width, height):
    """SSIM (all channels) and PSNR in RGB against the reference of each frame's state."""
    codes = subprocess.run(
        ["ffmpeg", "-nostdin", "-loglevel", "error", "-i", str(path), "-vf",
         f"{DECODE},crop={CODE_BITS * CODE_BLOCK}:{CODE_BLOCK}:iw-{CODE_BITS * CODE_BLOCK}:0,format=gray",
         "-f", "rawvideo", "-"], capture_output=True, check=True).stdout
    step = CODE_BITS * CODE_BLOCK * CODE_BLOCK
    frames = [read_code(lambda x, y, at=at: codes[at + y * CODE_BITS * CODE_BLOCK + x - width
                                                 + CODE_BITS * CODE_BLOCK], width)
              for at in range(0, len(codes) - step + 1, step)]
    known = [c for c in frames if c in states]
    if not known:
        return float("nan"), float("nan"), len(frames)
    log_path = path.with_suffix(".quality.log")
    with open(log_path, "w") as log_file:
        proc = subprocess.Popen(
            ["ffmpeg", "-nostdin", "-hide_banner", "-f", "rawvideo", "-pix_fmt", "rgb24", "-s", f"{width}x{height}",
             "-r", "15", "-i", "-", "-i", str(path), "-lavfi",
             f"[1:v]{DECODE},format=gbrp[a];[0:v]setpts=N/15/TB,format=gbrp,split[b1][b2];"
             "[a][b1]ssim[s];[s][b2]psnr", "-f", "null", "-"],
            stdin=subprocess.PIPE, stderr=log_file)
        last = known[0]
        try:
            for code in frames:  # an unreadable code (none so far) counts as the last state seen
                last = code if code in states else last
                proc.stdin.write(states[last])
            proc.stdin.close()
        except BrokenPipeError:
            pass
        proc.wait()
    text = log_path.read_text()
    ssim = psnr = float("nan")
    for line in text.splitlines():
        if "SSIM" in line and "All:" in line:
            ssim = float(line.split("All:")[1].split()[0])
        if "PSNR" in line and "average:" in line:
            psnr = float(line.split("average:")[1].split()[0])
    return ssim, psnr, len(frames) - len(known)


def frame_stats(times):
    if len(times) < 2:
        return float("nan"), float("nan")
    gaps = [b - a for a, b in zip(times, times[1:])]
    return (len(times) - 1) / (times[-1] - times[0]), max(gaps) * 1000


def run_ours(program, env, window_id, out, seconds):
    t0 = time.monotonic()
    proc = subprocess.Popen([program, str(out), str(window_id)], env=env, stdin=subprocess.PIPE,
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    started_line = read_line(proc.stdout, t0 + 10)
    t_started = time.monotonic()
    if not started_line or '"started"' not in started_line:
        proc.kill()
        reap(proc)
        raise RuntimeError(f"recorder did not start: {started_line!r} {proc.stderr.read()!r}")
    time.sleep(WARMUP)
    cpu0, w0 = cpu_seconds(proc.pid), time.monotonic()
    time.sleep(max(0.0, seconds - WARMUP))
    cpu1, w1 = cpu_seconds(proc.pid), time.monotonic()
    rss_mb = peak_rss_mb(proc.pid)
    t_stop = time.monotonic()
    proc.stdin.write("\n")
    proc.stdin.flush()
    finished_line = read_line(proc.stdout, t_stop + 30)
    t_finished = time.monotonic()
    usage = reap(proc)
    if not finished_line or '"finished"' not in finished_line:
        raise RuntimeError(f"recorder did not finish: {finished_line!r} {proc.stderr.read()!r}")
    return {
        "cpu_rate": (cpu1 - cpu0) / (w1 - w0),
        "cpu_total": usage.ru_utime + usage.ru_stime,
        "rss_mb": rss_mb,
        "start_ms": (t_started - t0) * 1000,
        "stop_ms": (t_finished - t_stop) * 1000,
    }


def run_ffmpeg(env, display, window_id, out, seconds, width, height):
    cmd = ffmpeg_command(display, window_id, out, width, height)
    t0 = time.monotonic()
    proc = subprocess.Popen(cmd, env=env, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                            stderr=subprocess.PIPE, text=True)
    # No "started" line: count from the process start plus the same warm-up.
    time.sleep(WARMUP + 0.15)
    cpu0, w0 = cpu_seconds(proc.pid), time.monotonic()
    time.sleep(max(0.0, seconds - (time.monotonic() - t0)))
    cpu1, w1 = cpu_seconds(proc.pid), time.monotonic()
    rss_mb = peak_rss_mb(proc.pid)
    t_stop = time.monotonic()
    proc.send_signal(signal.SIGINT)  # ffmpeg finishes the file on SIGINT
    usage = reap(proc, 30)
    t_finished = time.monotonic()
    return {
        "cpu_rate": (cpu1 - cpu0) / (w1 - w0),
        "cpu_total": usage.ru_utime + usage.ru_stime,
        "rss_mb": rss_mb,
        "start_ms": float("nan"),
        "stop_ms": (t_finished - t_stop) * 1000,
    }


def ffmpeg_command(display, window_id, out, width, height):
    return ["ffmpeg", "-nostdin", "-hide_banner", "-loglevel", "error", "-f", "x11grab",
            "-window_id", str(window_id), "-framerate", "15", "-i", display,
            "-vf", f"scale={width}:{height}", "-c:v", "libx264", "-preset", "veryfast", "-crf", "23",
            "-pix_fmt", "yuv420p", "-y", str(out)]


def add_file_figures(result, path):
    info = probe(path)
    fps, gap = frame_stats(info["times"])
    minutes = info["duration"] / 60 if info["duration"] > 0 else float("nan")
    result.update({
        "width": info["width"], "height": info["height"], "fps": fps, "max_gap_ms": gap,
        "mb_per_min": info["file_bytes"] / 1e6 / minutes,
        "kb_per_s": info["file_bytes"] / 1e3 / info["duration"] if info["duration"] > 0 else float("nan"),
        "video_mb_per_min": info["video_bytes"] / 1e6 / minutes,
    })
    return info


def median(runs, key):
    values = [r[key] for r in runs if r.get(key) == r.get(key)]  # drops NaN
    return statistics.median(values) if values else float("nan")


def machine_description():
    model = "unknown"
    try:
        for line in subprocess.run(["lscpu"], capture_output=True, text=True).stdout.splitlines():
            if line.startswith("Model name:"):
                model = line.split(":", 1)[1].strip()
    except OSError:
        pass
    mem_gb = os.sysconf("SC_PAGE_SIZE") * os.sysconf("SC_PHYS_PAGES") / 2**30
    return f"{os.cpu_count()} CPUs (nproc {len(os.sched_getaffinity(0))}), {model}, {mem_gb:.1f} GiB memory"


def fmt(value, digits=3):
    if value != value:
        return "n/a"
    return f"{value:.{digits}f}"


def build_table(cases):
    """Rows of (figure, ours, ffmpeg, ratio, target, met)."""
    rows = []

    def ratio(a, b):
        return a / b if b and b == b and a == a else float("nan")

    def row(name, ours, theirs, target_text, check, digits=3, use_ratio=True):
        r = ratio(ours, theirs) if use_ratio else float("nan")
        met = check(r if use_ratio else ours)
        rows.append((name, fmt(ours, digits), fmt(theirs, digits), fmt(r, 2) if use_ratio else "",
                     target_text, "yes" if met else ("no" if met is False else "")))

    def ok(cond_value, test):
        return None if cond_value != cond_value else test(cond_value)

    for name, cpu_aim in (("changing", 0.5), ("typing", 0.3), ("scroll", 0.3), ("idle", 0.05), ("display", 0.5)):
        if name not in cases or not cases[name]["ffmpeg"]:
            continue
        o, f = cases[name]["ours"], cases[name]["ffmpeg"]
        row(f"CPU s per recorded s, {name}", median(o, "cpu_rate"), median(f, "cpu_rate"),
            f"<= {cpu_aim} x ffmpeg", lambda r, a=cpu_aim: ok(r, lambda v: v <= a), 4)
        row(f"File KB per recorded s, {name}", median(o, "kb_per_s"), median(f, "kb_per_s"),
            "<= 1.0 x ffmpeg", lambda r: ok(r, lambda v: v <= 1.0), 2)
        if "ssim" in o[0]:
            row(f"SSIM (RGB) against the window, {name}", median(o, "ssim"), median(f, "ssim"),
                "no worse", lambda r: ok(r, lambda v: v >= 0.999), 4)
            row(f"PSNR (RGB) dB against the window, {name}", median(o, "psnr"), median(f, "psnr"),
                "", lambda r: None, 2)
    all_ours = [r for c in cases.values() for r in c["ours"]]
    all_ff = [r for c in cases.values() for r in c.get("ffmpeg", [])]
    peak_ours = max((r["rss_mb"] for r in all_ours), default=float("nan"))
    peak_ff = max((r["rss_mb"] for r in all_ff), default=float("nan"))
    row("Peak resident memory, MB (max over runs)", peak_ours, peak_ff, "<= 50 MB",
        lambda v: ok(v, lambda x: x <= 50), 1, use_ratio=False)
    # Unloaded cases only; the slowest case's median counts.
    start = max((median(c["ours"], "start_ms") for n, c in cases.items() if n != "loaded"),
                default=float("nan"))
    row("Process start to \"started\", ms (slowest case)", start, float("nan"), "<= 100 ms",
        lambda v: ok(v, lambda x: x <= 100), 0, use_ratio=False)
    stop_key = "long" if "long" in cases else "changing"
    if stop_key in cases:
        label = "after 60 s" if stop_key == "long" else f"after {cases[stop_key]['seconds']:.0f} s"
        row(f"Stop line to \"finished\", ms ({label})", median(cases[stop_key]["ours"], "stop_ms"),
            median(cases[stop_key].get("ffmpeg", []), "stop_ms"), "<= 150 ms",
            lambda v: ok(v, lambda x: x <= 150), 0, use_ratio=False)
    if "loaded" in cases:
        o = cases["loaded"]["ours"]
        fps = min(r["fps"] for r in o)
        gap = max(r["max_gap_ms"] for r in o)
        row("Frames a second, one core busy (worst run)", fps, float("nan"), ">= 14.5",
            lambda v: ok(v, lambda x: x >= 14.5), 2, use_ratio=False)
        row("Largest frame gap, one core busy, ms (worst run)", gap, float("nan"), "<= 150 ms",
            lambda v: ok(v, lambda x: x <= 150), 0, use_ratio=False)
    return rows


def print_table(rows):
    header = ("figure", "ours", "ffmpeg", "ratio", "target", "met")
    widths = [max(len(str(r[i])) for r in rows + [header]) for i in range(6)]
    for r in [header] + rows:
        print("  ".join(str(c).ljust(w) for c, w in zip(r, widths)))


def markdown_table(rows):
    lines = ["| figure | ours | ffmpeg | ratio | target | met |", "|---|---|---|---|---|---|"]
    lines += ["| " + " | ".join(str(c) for c in r) + " |" for r in rows]
    return "\n".join(lines)


def detail_table(cases):
    lines = ["| case | program | runs | CPU s/s (median) | CPU total s | peak RSS MB | start ms | stop ms | "
             "fps | max gap ms | KB/s | SSIM | PSNR dB | size |",
             "|---|---|---|---|---|---|---|---|---|---|---|---|---|---|"]
    for name, case in cases.items():
        for prog in ("ours", "before", "ffmpeg"):
            runs = case.get(prog)
            if not runs:
                continue
            lines.append("| " + " | ".join([
                name, prog, str(len(runs)), fmt(median(runs, "cpu_rate"), 4), fmt(median(runs, "cpu_total"), 2),
                fmt(max(r["rss_mb"] for r in runs), 1), fmt(median(runs, "start_ms"), 0),
                fmt(median(runs, "stop_ms"), 0), fmt(median(runs, "fps"), 2),
                fmt(max(r["max_gap_ms"] for r in runs), 0), fmt(median(runs, "kb_per_s"), 2),
                fmt(median(runs, "ssim"), 4) if "ssim" in runs[0] else "", fmt(median(runs, "psnr"), 2)
                if "psnr" in runs[0] else "",
                f"{runs[0]['width']}x{runs[0]['height']}"]) + " |")
    return "\n".join(lines)


def write_results(out_dir, args, cases, rows, commands):
    out_dir.mkdir(parents=True, exist_ok=True)
    results = out_dir / "RESULTS.md"
    kept = ""
    if results.exists():
        text = results.read_text()
        if HAND_SECTION in text:
            kept = text[text.index(HAND_SECTION):]
    if not kept:
        kept = HAND_SECTION + "\n\n(to be filled in by hand; compare.py keeps this section)\n"
    now = datetime.datetime.now().astimezone().strftime("%Y-%m-%d %H:%M %Z")
    body = [
        "# quorvale_screen_recorder vs ffmpeg x11grab",
        "",
        f"Measured {now} on {machine_description()}.",
        "Medians over runs taken in turn (ours, ffmpeg, ours, ffmpeg, ...) on the same windows of one Xvfb "
        f"({DISPLAY_W}x{DISPLAY_H}x24); {args.seconds:g} s a run, {args.repeats} run(s) a program a case. "
        "CPU seconds per recorded second are utime+stime of the whole process from /proc/PID/stat, counted "
        f"from {WARMUP:g} s after the start to the stop; peak memory is VmHWM just before the stop. No sound server runs, so "
        "our movies carry a silent AAC track. The machine is shared: absolute times drift, ratios less so.",
        "",
        "Command: `" + " ".join(["bench/compare.py"] + sys.argv[1:]) + "`",
        "",
        "Programs run:",
        "",
        *["    " + c for c in commands],
        "",
        "## Figures",
        "",
        markdown_table(rows),
        "",
        "## Per case",
        "",
        detail_table(cases),
        "",
        "![CPU and memory](results.png)" if (out_dir / "results.png").exists() else "",
        "",
        kept.rstrip() + "\n",
    ]
    results.write_text("\n".join(body))
    return results


def plot(out_dir, cases):
    try:
        import matplotlib
        matplotlib.use("Agg")
        import matplotlib.pyplot as plt
    except ImportError:
        log("matplotlib missing: no chart")
        return
    names = [n for n in cases if cases[n].get("ffmpeg")]
    if not names:
        return
    fig, axes = plt.subplots(1, 2, figsize=(10, 4))
    xs = range(len(names))
    for ax, key, title in ((axes[0], "cpu_rate", "CPU seconds per recorded second"),
                           (axes[1], "rss_mb", "Peak resident memory (MB)")):
        pick = (lambda runs: median(runs, key)) if key == "cpu_rate" else \
            (lambda runs: max(r[key] for r in runs))
        ours = [pick(cases[n]["ours"]) for n in names]
        theirs = [pick(cases[n]["ffmpeg"]) for n in names]
        ax.bar([x - 0.2 for x in xs], ours, 0.4, label="quorvale_screen_recorder")
        ax.bar([x + 0.2 for x in xs], theirs, 0.4, label="ffmpeg x11grab")
        ax.set_xticks(list(xs))
        ax.set_xticklabels(names)
        ax.set_title(title)
    axes[0].legend()
    fig.tight_layout()
    fig.savefig(out_dir / "results.png", dpi=100)
    plt.close(fig)


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--build-dir", default=str(ROOT / "build-bench"))
    parser.add_argument("--seconds", type=float, default=20.0, help="length of each recording")
    parser.add_argument("--repeats", type=int, default=2, help="runs a program a case")
    parser.add_argument("--long", action="store_true", help="add a one-minute recording for the stop latency")
    parser.add_argument("--quick", action="store_true", help="short smoke run: 3 s, one run each")
    parser.add_argument("--cases", default="changing,typing,scroll,idle,display,loaded",
                        help="comma-separated subset of changing,typing,scroll,idle,display,loaded")
    parser.add_argument("--before", help="build directory of a recorder to run beside ours in each turn")
    parser.add_argument("--out-dir", default=str(ROOT / "bench"))
    parser.add_argument("--keep", action="store_true", help="keep the recorded movies")
    args = parser.parse_args()
    if args.quick:
        args.seconds, args.repeats = 3.0, 1
    build = Path(args.build_dir)
    program = build / "quorvale_screen_recorder"
    tool = build / "quorvale_test_window"
    before = Path(args.before) / "quorvale_screen_recorder" if args.before else None
    for needed in (program, tool):
        if not needed.exists():
            sys.exit(f"{needed} is missing: build first (cmake --build {build})")
    for needed in ("Xvfb", "ffmpeg", "ffprobe"):
        if not shutil.which(needed):
            sys.exit(f"{needed} is not installed: run scripts/setup")

    work = Path(tempfile.mkdtemp(prefix="quorvale-compare-"))
    xvfb = Xvfb(DISPLAY_W, DISPLAY_H)
    env = dict(os.environ, DISPLAY=xvfb.display,
               # No sound server: the recorder records a silent track, as ffmpeg records none.
               PULSE_SERVER="unix:" + str(work / "no-pulse"))
    cases = {}
    commands = []
    busy = None
    try:
        wanted = [c.strip() for c in args.cases.split(",") if c.strip()]
        plans = {
            "changing": dict(width=1280, height=720, mode="--animate"),
            "typing": dict(width=1280, height=720, mode="--typing", period=9.5),
            "scroll": dict(width=1280, height=720, mode="--scroll", period=10.5),
            "idle": dict(width=1280, height=720, mode=None),
            "display": dict(width=DISPLAY_W, height=DISPLAY_H, mode="--animate"),
            "loaded": dict(width=1280, height=720, mode="--animate"),
        }
        if args.long:
            wanted.append("long")
            plans["long"] = dict(width=1280, height=720, mode="--animate")
        for name in wanted:
            plan = plans[name]
            seconds = 60.0 if name == "long" else args.seconds
            with_ffmpeg = name not in ("loaded", "long")
            repeats = 1 if name == "long" else args.repeats
            window = Window(str(tool), env, plan["width"], plan["height"], mode=plan["mode"])
            case = {"ours": [], "before": [], "ffmpeg": [], "seconds": seconds}
            movies = []
            cases[name] = case
            try:
                if name == "loaded":
                    busy = subprocess.Popen([sys.executable, "-c", "while True: pass"])
                size = None
                for i in range(repeats):
                    out = work / f"{name}-ours-{i}.mp4"
                    log(f"[{name}] ours run {i + 1}/{repeats}, {seconds:g} s")
                    r = run_ours(str(program), env, window.id, out, seconds)
                    info = add_file_figures(r, out)
                    size = size or (info["width"], info["height"])
                    case["ours"].append(r)
                    movies.append((r, out))
                    if before:
                        out = work / f"{name}-before-{i}.mp4"
                        log(f"[{name}] before run {i + 1}/{repeats}")
                        r = run_ours(str(before), env, window.id, out, seconds)
                        add_file_figures(r, out)
                        case["before"].append(r)
                        movies.append((r, out))
                    if i == 0:
                        commands.append(f"{program.relative_to(ROOT) if program.is_relative_to(ROOT) else program}"
                                        f" OUT.mp4 WINDOW_ID   # {name}")
                    if with_ffmpeg:
                        out = work / f"{name}-ffmpeg-{i}.mp4"
                        log(f"[{name}] ffmpeg run {i + 1}/{repeats}")
                        r = run_ffmpeg(env, xvfb.display, window.id, out, seconds, *size)
                        add_file_figures(r, out)
                        case["ffmpeg"].append(r)
                        movies.append((r, out))
                        if i == 0:
                            commands.append(" ".join(ffmpeg_command(":N", "WINDOW_ID", "OUT.mp4", *size))
                                            + f"   # {name}")
                if "period" in plan:
                    log(f"[{name}] reference capture and quality")
                    states = reference_states(env, xvfb.display, window.id, *size, plan["period"])
                    for r, out in movies:
                        r["ssim"], r["psnr"], r["unmatched_frames"] = quality(out, states, *size)
                    del states  # this process's size would show in the next children's figures
            finally:
                end(busy)
                busy = None
                window.close()
    finally:
        xvfb.close()
        if not args.keep:
            shutil.rmtree(work, ignore_errors=True)
        else:
            log(f"movies kept in {work}")

    rows = build_table(cases)
    print_table(rows)
    out_dir = Path(args.out_dir)
    out_dir.mkdir(parents=True, exist_ok=True)
    plot(out_dir, cases)
    path = write_results(out_dir, args, cases, rows, commands)
    (out_dir / "results.json").write_text(json.dumps(cases, indent=1))
    log(f"wrote {path}")


if __name__ == "__main__":
    main()
