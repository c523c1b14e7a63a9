#!/usr/bin/python3
"""Soak: one long recording of an animated window that plays a tone.

Starts its own Xvfb (-displayfd), a private PulseAudio server with a null sink
and quorvale_test_window --beep-flash, records the window for --minutes, and
reports:
  - resident memory of the recorder (VmRSS every 5 s): growth after the first
    minute = max - value at 60 s (target < 5 MB);
  - the duration of the video and audio streams;
  - audio/video offset near the end (target within 40 ms): in the last
    --tail seconds, flash onsets in the video (mean luma jump) against beep
    onsets in the audio (energy onset), median of the pairs.

A flash appears in the first frame captured after it, so the raw video onset is
late by 0..1 frame interval; the flash period (1.007 s) moves the flash across
that interval, and the reported offset subtracts half an interval.

Appends a "Soak: N minutes" section at the end of RESULTS.md (replacing an
earlier one with the same heading), and writes an RSS plot if matplotlib is
available. Only the standard library, matplotlib (optional), ffmpeg and ffprobe.
"""

import argparse
import array
import atexit
import datetime
import json
import math
import os
import re
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
RSS_GROWTH_TARGET_MB = 5.0
AV_OFFSET_TARGET_MS = 40.0
SAMPLE_EVERY = 5.0
RATE = 48000


def log(*parts):
    print(*parts, file=sys.stderr, flush=True)


def read_line(stream, deadline):
    """One line from a pipe, or None at EOF or after the deadline (monotonic)."""
    remaining = deadline - time.monotonic()
    if remaining <= 0:
        return None
    ready, _, _ = select.select([stream], [], [], remaining)
    if not ready:
        return None
    line = stream.readline()
    return line if line else None


def stop_process(proc, timeout=10):
    if proc is None or proc.poll() is not None:
        return
    proc.send_signal(signal.SIGTERM)
    try:
        proc.wait(timeout)
    except subprocess.TimeoutExpired:
        proc.kill()
        proc.wait()


def start_xvfb():
    read_fd, write_fd = os.pipe()
    proc = subprocess.Popen(
        ["Xvfb", "-displayfd", str(write_fd), "-screen", "0", "1280x1024x24", "-nolisten", "tcp"],
        pass_fds=[write_fd], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    os.close(write_fd)
    number = b""
    deadline = time.monotonic() + 20
    while not number.endswith(b"\n") and time.monotonic() < deadline:
        ready, _, _ = select.select([read_fd], [], [], 1)
        if ready:
            chunk = os.read(read_fd, 16)
            if not chunk:
                break
            number += chunk
    os.close(read_fd)
    if not number.strip():
        stop_process(proc)
        raise RuntimeError("Xvfb did not report a display")
    return proc, ":" + number.decode().strip()


def start_pulse(directory):
    home, runtime = directory / "home", directory / "runtime"
    home.mkdir(parents=True)
    runtime.mkdir(mode=0o700)
    socket = directory / "native"
    config = directory / "server.pa"
    config.write_text(
        f"load-module module-native-protocol-unix socket={socket} auth-anonymous=1\n"
        "load-module module-null-sink sink_name=soaksink rate=48000 channels=2\n"
        "set-default-sink soaksink\n"
        "load-module module-always-sink\n")
    env = dict(os.environ, HOME=str(home), XDG_RUNTIME_DIR=str(runtime),
               XDG_CONFIG_HOME=str(home / ".config"))
    env.pop("PULSE_SERVER", None)
    env.pop("DBUS_SESSION_BUS_ADDRESS", None)
    proc = subprocess.Popen(
        ["pulseaudio", "-n", "--daemonize=no", "--exit-idle-time=-1", "--disallow-exit",
         "--use-pid-file=no", f"--log-target=file:{directory / 'pulse.log'}", "-F", str(config)],
        env=env, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    client_env = {"PULSE_SERVER": f"unix:{socket}", "HOME": str(home), "XDG_RUNTIME_DIR": str(runtime)}
    deadline = time.monotonic() + 20
    while True:
        if proc.poll() is not None:
            raise RuntimeError("pulseaudio exited")
        if socket.exists() and subprocess.run(
                ["pactl", "info"], env=dict(os.environ, **client_env), stdout=subprocess.DEVNULL,
                stderr=subprocess.DEVNULL, timeout=5).returncode == 0:
            return proc, client_env
        if time.monotonic() > deadline:
            stop_process(proc)
            raise RuntimeError("pulseaudio did not come up")
        time.sleep(0.05)


def vm_rss_kb(pid):
    try:
        with open(f"/proc/{pid}/status") as f:
            for line in f:
                if line.startswith("VmRSS:"):
                    return int(line.split()[1])
    except OSError:
        pass
    return None


def record(recorder, out, window, env, minutes):
    """Runs the recorder; returns (samples [(s, kB)], status lines, exit code)."""
    proc = subprocess.Popen([str(recorder), str(out), str(window)], env=env, stdin=subprocess.PIPE,
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    launched = time.monotonic()
    statuses, samples = [], []
    try:
        line = read_line(proc.stdout, launched + 15)
        if not line:
            raise RuntimeError("recorder did not start")
        statuses.append(json.loads(line))
        if statuses[-1].get("status") != "started":
            raise RuntimeError(f"recorder: {line.strip()}")
        end = launched + minutes * 60
        next_sample = launched
        while True:
            now = time.monotonic()
            if now >= next_sample:
                kb = vm_rss_kb(proc.pid)
                if kb is None or proc.poll() is not None:
                    raise RuntimeError("recorder exited early")
                samples.append((now - launched, kb))
                next_sample += SAMPLE_EVERY
            if now >= end:
                break
            # Any early status line (an error) ends the run.
            line = read_line(proc.stdout, min(next_sample, end))
            if line:
                statuses.append(json.loads(line))
                raise RuntimeError(f"recorder: {line.strip()}")
        proc.stdin.write("stop\n")
        proc.stdin.flush()
        while (line := read_line(proc.stdout, time.monotonic() + 30)):
            statuses.append(json.loads(line))
        code = proc.wait(30)
    finally:
        if proc.poll() is None:
            stop_process(proc)
            log(proc.stderr.read())
    return samples, statuses, code


def probe_json(args):
    out = subprocess.run(["ffprobe", "-v", "error", "-of", "json"] + args, check=True,
                         capture_output=True, text=True).stdout
    return json.loads(out)


def stream_durations(movie):
    """{codec_type: seconds} from the first to the last frame's end, packet by packet."""
    result = {}
    for kind in ("v", "a"):
        packets = probe_json(["-select_streams", kind, "-show_entries", "packet=pts_time,duration_time",
                              str(movie)])["packets"]
        starts = [float(p["pts_time"]) for p in packets if p.get("pts_time") not in (None, "N/A")]
        if not starts:
            continue
        last = max(packets, key=lambda p: float(p.get("pts_time", "-inf")))
        end = float(last["pts_time"]) + float(last.get("duration_time", 0) or 0)
        result["video" if kind == "v" else "audio"] = (min(starts), end)
    return result


def time_base(movie, kind):
    num, den = probe_json(["-select_streams", kind, "-show_entries", "stream=time_base",
                           str(movie)])["streams"][0]["time_base"].split("/")
    return int(num) / int(den)


def video_flashes(movie, since):
    """Times of frames whose mean luma jumps to the flash level, after `since` (file time)."""
    # Integer pts: pts_time has 6 significant digits, 10 ms steps after 1000 s.
    tb = time_base(movie, "v")
    proc = subprocess.run(
        ["ffmpeg", "-nostdin", "-v", "error", "-ss", f"{since:.3f}", "-copyts", "-i", str(movie),
         "-map", "0:v", "-vf", "scale=160:120,signalstats,metadata=print:key=lavfi.signalstats.YAVG:file=-",
         "-f", "null", "-"], check=True, capture_output=True, text=True)
    frames, pts = [], None
    for line in proc.stdout.splitlines():
        if m := re.search(r"\bpts:(-?\d+)", line):
            pts = int(m.group(1)) * tb
        elif line.startswith("lavfi.signalstats.YAVG=") and pts is not None:
            frames.append((pts, float(line.split("=", 1)[1])))
    if len(frames) < 3:
        return [], frames
    lumas = sorted(y for _, y in frames)
    low, high = lumas[len(lumas) // 2], lumas[-1]
    threshold = (low + high) / 2
    onsets = [t for (_, y0), (t, y1) in zip(frames, frames[1:]) if y0 < threshold <= y1]
    return onsets, frames


def audio_beeps(movie, since):
    """Beep onset times (file time) after `since`, from the energy of channel 0."""
    proc = subprocess.run(
        ["ffmpeg", "-nostdin", "-v", "info", "-ss", f"{since:.3f}", "-copyts", "-i", str(movie),
         "-map", "0:a", "-af", "ashowinfo", "-c:a", "pcm_s16le", "-f", "s16le", "-"],
        check=True, capture_output=True)
    channels = probe_json(["-select_streams", "a", "-show_entries", "stream=channels,sample_rate",
                           str(movie)])["streams"][0]
    count, rate = int(channels["channels"]), int(channels["sample_rate"])
    # ffmpeg's audio filters count in 1/sample rate; pts_time would be rounded.
    m = re.search(rb"\bpts:(-?\d+)", proc.stderr)
    if not m:
        raise RuntimeError("no audio frames in the tail")
    first = int(m.group(1)) / rate
    samples = array.array("h")
    samples.frombytes(proc.stdout[: len(proc.stdout) // 2 * 2])
    mono = samples[::count]
    # RMS over one period of the 440 Hz tone, ending at each sample.
    window = round(rate / 440)
    squares = [0.0] * (len(mono) + 1)
    total = 0.0
    for i, s in enumerate(mono):
        total += float(s) * s
        squares[i + 1] = total
    rms = [math.sqrt(max(0.0, squares[i + 1] - squares[i + 1 - window]) / window)
           for i in range(window - 1, len(mono))]
    if not rms:
        return [], first, rate
    levels = sorted(rms[::10])
    low, high = levels[len(levels) // 5], levels[-len(levels) // 20 - 1]
    threshold = math.sqrt(max(low, 1.0) * high)  # geometric middle: quiet tone 0.05, beep 0.5
    onsets, below_since = [], None
    for i, level in enumerate(rms):
        if level < threshold:
            if below_since is None:
                below_since = i
        else:
            # Onset only after 0.5 s below: ignores dips inside one beep.
            if below_since is not None and i - below_since > rate // 2:
                onsets.append(first + (i + window - 1) / rate)
            below_since = None
    return onsets, first, rate


def av_offsets(movie, duration_end, tail):
    since = max(0.0, duration_end - tail)
    flashes, frames = video_flashes(movie, since)
    beeps, _, _ = audio_beeps(movie, since)
    pairs = []
    for v in flashes:
        if beeps:
            a = min(beeps, key=lambda b: abs(b - v))
            if abs(v - a) < 0.5:
                pairs.append((v, a, v - a))
    gaps = [b[0] - a[0] for a, b in zip(frames, frames[1:])]
    interval = statistics.median(gaps) if gaps else 0.0
    return {"since": since, "flashes": flashes, "beeps": beeps, "pairs": pairs, "frame_interval": interval}


def rss_figures(samples):
    if not samples:
        return None
    at_minute = min(samples, key=lambda s: abs(s[0] - 60))[1]
    after = [kb for t, kb in samples if t >= 60] or [samples[-1][1]]
    return {"at_60s_kb": at_minute, "end_kb": samples[-1][1], "max_after_60s_kb": max(after),
            "growth_kb": max(after) - at_minute, "first_kb": samples[0][1]}


def plot(samples, path, minutes):
    try:
        import matplotlib
        matplotlib.use("Agg")
        import matplotlib.pyplot as plt
    except ImportError:
        log("matplotlib not available: no plot")
        return False
    fig, ax = plt.subplots(figsize=(8, 4))
    ax.plot([t / 60 for t, _ in samples], [kb / 1024 for _, kb in samples], marker=".", linewidth=1)
    ax.axvline(1, color="grey", linestyle=":", linewidth=1)
    ax.set_xlabel("minutes since the recorder started")
    ax.set_ylabel("VmRSS, MB")
    ax.set_title(f"quorvale_screen_recorder resident memory, {minutes:g}-minute recording")
    ax.grid(True, alpha=0.3)
    fig.tight_layout()
    fig.savefig(path, dpi=100)
    plt.close(fig)
    return True


def git_commit():
    try:
        return subprocess.run(["git", "-C", str(ROOT), "rev-parse", "--short", "HEAD"], capture_output=True,
                              text=True).stdout.strip()
    except OSError:
        return "?"


def mb(kb):
    return f"{kb / 1024:.1f}"


def report_lines(args, rss, durations, sync, statuses, code):
    rows = []
    ok_rss = rss is not None and rss["growth_kb"] / 1024 < RSS_GROWTH_TARGET_MB
    rows.append(("VmRSS at 60 s, MB", mb(rss["at_60s_kb"]) if rss else "n/a", "", ""))
    rows.append(("VmRSS at the end, MB", mb(rss["end_kb"]) if rss else "n/a", "", ""))
    rows.append(("VmRSS growth after 60 s (max - value at 60 s), MB", mb(rss["growth_kb"]) if rss else "n/a",
                 f"< {RSS_GROWTH_TARGET_MB:g}", "yes" if ok_rss else "no"))
    v = durations.get("video")
    a = durations.get("audio")
    rows.append(("Video stream, s (first pts .. last end)", f"{v[0]:.3f} .. {v[1]:.3f}" if v else "n/a", "", ""))
    rows.append(("Audio stream, s (first pts .. last end)", f"{a[0]:.3f} .. {a[1]:.3f}" if a else "n/a", "", ""))
    if v and a:
        rows.append(("Stream end difference, audio - video, ms", f"{(a[1] - v[1]) * 1000:.0f}", "", ""))
    offsets = [p[2] for p in sync["pairs"]] if sync else []
    ok_sync = False
    if offsets:
        raw = statistics.median(offsets) * 1000
        corrected = raw - sync["frame_interval"] * 500
        ok_sync = abs(corrected) <= AV_OFFSET_TARGET_MS
        rows.append((f"Flash/beep pairs in the last {args.tail:g} s", str(len(offsets)), "", ""))
        rows.append(("A/V offset, raw median video - audio, ms", f"{raw:.1f}", "", ""))
        rows.append(("  spread (min .. max), ms",
                     f"{min(offsets) * 1000:.1f} .. {max(offsets) * 1000:.1f}", "", ""))
        rows.append((f"A/V offset, minus half a frame interval ({sync['frame_interval'] * 1000:.1f} ms), ms",
                     f"{corrected:.1f}", f"within +-{AV_OFFSET_TARGET_MS:g}", "yes" if ok_sync else "no"))
    else:
        rows.append(("A/V offset at the end, ms", "n/a (no flash/beep pairs)", f"within +-{AV_OFFSET_TARGET_MS:g}",
                     "no"))
    finished = any(s.get("status") == "finished" for s in statuses)
    rows.append(("Recorder: \"finished\" and exit code", f"{'yes' if finished else 'no'}, {code}", "yes, 0",
                 "yes" if finished and code == 0 else "no"))
    return rows, ok_rss and ok_sync and finished and code == 0


def results_section(args, rows, rss_samples, plot_name):
    now = datetime.datetime.now(datetime.timezone.utc).strftime("%Y-%m-%d %H:%M UTC")
    lines = [f"## Soak: {args.minutes:g} minutes", "",
             f"Measured {now} at commit {git_commit()} on {os.cpu_count()} CPUs (a shared machine). "
             f"One recording of an 800x600 quorvale_test_window --beep-flash --tone 440 on a private Xvfb, "
             f"sound through a private PulseAudio null sink. VmRSS from /proc/PID/status every "
             f"{SAMPLE_EVERY:g} s. A/V offset: in the last {args.tail:g} s, each white flash's first frame "
             f"(mean luma jump) against the nearest beep onset (energy over one tone period); positive = video "
             f"later. A flash shows in the first frame captured after it, so the raw offset is late by 0..1 "
             f"frame interval (uniformly: the 1.007 s period moves the flash across it); half an interval is "
             f"subtracted.", "",
             f"Command: `bench/soak.py --minutes {args.minutes:g}`", "",
             "| figure | value | target | met |", "|---|---|---|---|"]
    lines += [f"| {a} | {b} | {c} | {d} |" for a, b, c, d in rows]
    if rss_samples:
        per_minute = [f"{t / 60:.0f} min {mb(kb)}" for t, kb in rss_samples if round(t) % 300 == 0]
        lines += ["", "VmRSS, MB, every 5 minutes: " + ", ".join(per_minute)]
    if plot_name:
        lines += ["", f"![VmRSS over time]({plot_name})"]
    return "\n".join(lines) + "\n"


def write_results(path, section, heading):
    # Re-read just before writing: others write their own sections into this file.
    lines = path.read_text().splitlines(keepends=True) if path.exists() else []
    if heading + "\n" in lines:
        start = lines.index(heading + "\n")
        end = next((i for i in range(start + 1, len(lines)) if lines[i].startswith("## ")), len(lines))
        tail = ["\n"] + lines[end:] if end < len(lines) else []
        lines = lines[:start] + [section] + tail
    else:
        if lines and not lines[-1].endswith("\n"):
            lines[-1] += "\n"
        lines += (["\n"] if lines else []) + [section]
    path.write_text("".join(lines))


def run_recording(args, recorder, window_program, movie, work):
    xvfb = pulse = window = None
    try:
        xvfb, display = start_xvfb()
        pulse, pulse_env = start_pulse(work / "pulse")
        env = dict(os.environ, DISPLAY=display, **pulse_env)
        window = subprocess.Popen(
            [str(window_program), "--animate", "--beep-flash", "--tone", "440", "--width", "800", "--height",
             "600"], env=env, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, text=True)
        line = read_line(window.stdout, time.monotonic() + 20)
        if not line:
            raise RuntimeError("test window did not start")
        window_id = int(line)
        time.sleep(1)  # let the tone reach the sink
        log(f"recording window {window_id} on {display} for {args.minutes:g} min into {movie}")
        return record(recorder, movie, window_id, env, args.minutes)
    finally:
        for proc in (window, pulse, xvfb):
            stop_process(proc)


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--minutes", type=float, default=30)
    parser.add_argument("--build-dir", type=Path, default=ROOT / "build-soak")
    parser.add_argument("--tail", type=float, default=20, help="seconds at the end for the A/V offset")
    parser.add_argument("--results", type=Path, default=ROOT / "bench" / "RESULTS.md")
    parser.add_argument("--no-results", action="store_true", help="do not write RESULTS.md")
    parser.add_argument("--png", type=Path, default=ROOT / "bench" / "soak.png")
    parser.add_argument("--json", type=Path, help="raw figures as JSON")
    parser.add_argument("--keep", type=Path, help="keep the movie at this path")
    parser.add_argument("--reanalyse", type=Path, metavar="JSON",
                        help="no recording: the movie at --keep and the samples of an earlier --json")
    parser.add_argument("--strict", action="store_true", help="exit 1 when a target is missed")
    args = parser.parse_args()

    recorder = args.build_dir / "quorvale_screen_recorder"
    window_program = args.build_dir / "quorvale_test_window"
    for program in (recorder, window_program):
        if not program.exists():
            log(f"missing {program}: build quorvale_screen_recorder and quorvale_test_window")
            return 2

    work = Path(tempfile.mkdtemp(prefix="quorvale-soak-"))
    atexit.register(shutil.rmtree, work, True)
    if args.reanalyse:
        if not args.keep:
            log("--reanalyse needs --keep MOVIE")
            return 2
        earlier = json.loads(args.reanalyse.read_text())
        movie, samples = args.keep, [tuple(s) for s in earlier["rss_samples"]]
        statuses, code = earlier["statuses"], earlier["exit_code"]
    else:
        movie = args.keep or work / "soak.mp4"
        samples, statuses, code = run_recording(args, recorder, window_program, movie, work)

    durations = stream_durations(movie)
    end = min(e for _, e in durations.values()) if durations else 0
    sync = av_offsets(movie, end, args.tail) if durations else None
    rss = rss_figures(samples)
    rows, met = report_lines(args, rss, durations, sync, statuses, code)

    width = max(len(r[0]) for r in rows)
    print(f"{'figure':<{width}}  {'value':>24}  {'target':>12}  met")
    for a, b, c, d in rows:
        print(f"{a:<{width}}  {b:>24}  {c:>12}  {d}")
    if sync:
        print("pairs (video s, audio s, offset ms):")
        for v, a, o in sync["pairs"]:
            print(f"  {v:10.3f} {a:10.3f} {o * 1000:7.1f}")

    plot_name = None
    if args.png and samples and plot(samples, args.png, args.minutes):
        plot_name = args.png.name if args.png.parent == args.results.parent else str(args.png)
    if not args.no_results:
        write_results(args.results, results_section(args, rows, samples, plot_name),
                      f"## Soak: {args.minutes:g} minutes")
    if args.json:
        args.json.write_text(json.dumps({"rss_samples": samples, "durations": durations, "sync": sync,
                                         "rss": rss, "statuses": statuses, "exit_code": code}, indent=1))
    return 1 if args.strict and not met else 0


if __name__ == "__main__":
    sys.exit(main())
