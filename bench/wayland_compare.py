#!/usr/bin/python3
"""The Wayland recording path against GStreamer recording the same portal stream.

One command: starts its own headless GNOME (as scripts/demo --wayland does) and an animated native
Wayland window, then records it in turn (ours, gst, ours, gst, ...):

  ours  build/quorvale_screen_recorder OUT.mp4 0, stopped by a line on stdin; the picker is answered
        the first time, later runs restore the grant with no dialog
  gst   a ScreenCast portal session opened here over D-Bus (the window, cursor embedded, the grant
        restored after the first run as ours does), its PipeWire remote's fd handed to
        gst-launch-1.0 -e pipewiresrc fd=FD path=NODE ! videoconvert ! x264enc speed-preset=veryfast
        ! mp4mux ! filesink, stopped with SIGINT (EOF through -e)

Per run: the recorder's CPU seconds (user + system, from its rusage at exit: everything it did from
start to finish) per recorded second, its peak resident memory (ru_maxrss, the VmHWM at exit),
gnome-shell's CPU seconds per recorded second from "started" to the recorder's exit, file bytes per
recorded second. A recorded second is wall time from "started" (ours) or PLAYING (gst) to the stop.

Needs python3-gi (Gio) for the portal calls: the gdbus command cannot receive OpenPipeWireRemote's fd,
and a portal session dies with the D-Bus connection that opened it.
"""

import argparse
import os
import shutil
import signal
import statistics
import subprocess
import sys
import tempfile
import time
from pathlib import Path

import gi

gi.require_version("Gio", "2.0")
from gi.repository import Gio, GLib  # noqa: E402

ROOT = Path(__file__).resolve().parent.parent
CLOCK_TICKS = os.sysconf("SC_CLK_TCK")
PORTAL = "org.freedesktop.portal.Desktop"
PORTAL_PATH = "/org/freedesktop/portal/desktop"


class Stack:
    """Every process started here, ended newest first by its pid."""

    def __init__(self, work):
        self.work = work
        self.procs = []
        self.session_bus = None

    def start(self, args, **kw):
        kw.setdefault("stdin", subprocess.DEVNULL)
        kw.setdefault("stdout", subprocess.DEVNULL)
        kw.setdefault("stderr", subprocess.DEVNULL)
        proc = subprocess.Popen(args, **kw)
        self.procs.append(proc)
        return proc

    def end(self, proc):
        if proc.poll() is None:
            proc.terminate()
            try:
                proc.wait(10)
            except subprocess.TimeoutExpired:
                proc.kill()
                proc.wait()
        if proc in self.procs:
            self.procs.remove(proc)

    def end_all(self):
        for proc in reversed(list(self.procs)):
            if proc is self.session_bus:
                self.end_started_on_demand()
            self.end(proc)

    def end_started_on_demand(self):
        # What the session bus started (permission store, document portal) stays in its group.
        out = subprocess.run(["pgrep", "-g", str(self.session_bus.pid)], capture_output=True, text=True).stdout
        for pid in map(int, out.split()):
            if pid != self.session_bus.pid:
                try:
                    os.kill(pid, signal.SIGTERM)
                except ProcessLookupError:
                    pass


def first_line(path, proc, what, timeout=30):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        text = path.read_text() if path.exists() else ""
        if "\n" in text:
            return text.split("\n", 1)[0]
        if proc.poll() is not None:
            sys.exit(f"wayland_compare: {what} exited before it was ready")
        time.sleep(0.05)
    sys.exit(f"wayland_compare: {what} did not get ready")


def wait_name(name):
    subprocess.run(["gdbus", "wait", "--session", "--timeout", "30", name], check=True)


def start_gnome(stack):
    """scripts/demo's start_gnome: private buses, PipeWire, gnome-shell on 1280x720, the portal."""
    work = stack.work
    runtime, config = work / "runtime", work / "config"
    runtime.mkdir(mode=0o700)
    (config / "wireplumber" / "main.lua.d").mkdir(parents=True)
    (work / "portals").mkdir()
    (work / "system.conf").write_text(
        f"<busconfig><type>system</type><listen>unix:path={work}/system_bus</listen><auth>EXTERNAL</auth>"
        '<policy context="default"><allow user="*"/><allow own="*"/><allow send_destination="*"/>'
        '<allow receive_sender="*"/></policy></busconfig>')
    conf = Path("/usr/share/wireplumber/wireplumber.conf").read_text()
    (config / "wireplumber" / "wireplumber.conf").write_text(
        "".join(line for line in conf.splitlines(True) if "bluetooth.lua" not in line))
    (config / "wireplumber" / "main.lua.d" / "60-private.lua").write_text(
        "alsa_monitor.enabled = false\nv4l2_monitor.enabled = false\nlibcamera_monitor.enabled = false\n")
    (work / "portals" / "gnome.portal").symlink_to("/usr/share/xdg-desktop-portal/portals/gnome.portal")
    for name in ("DISPLAY", "XAUTHORITY", "PULSE_SERVER", "PIPEWIRE_REMOTE"):
        os.environ.pop(name, None)
    os.environ.update(
        XDG_RUNTIME_DIR=str(runtime), XDG_CONFIG_HOME=str(config), XDG_STATE_HOME=str(work / "state"),
        DBUS_SYSTEM_BUS_ADDRESS=f"unix:path={work}/system_bus",
        DBUS_SESSION_BUS_ADDRESS=f"unix:path={work}/session_bus",
        WAYLAND_DISPLAY="wayland-0", XDG_CURRENT_DESKTOP="GNOME", XDG_SESSION_TYPE="wayland",
        XDG_DESKTOP_PORTAL_DIR=str(work / "portals"), GSETTINGS_BACKEND="memory", NO_AT_BRIDGE="1",
        GTK_A11Y="none")
    with open(work / "system_bus.address", "w") as out:
        bus = stack.start(["dbus-daemon", "--nofork", "--syslog-only", f"--config-file={work}/system.conf",
                           "--print-address=1"], stdout=out)
    first_line(work / "system_bus.address", bus, "the system bus")
    with open(work / "session_bus.address", "w") as out:
        stack.session_bus = stack.start(
            ["dbus-daemon", "--nofork", "--syslog-only", "--session",
             f"--address={os.environ['DBUS_SESSION_BUS_ADDRESS']}", "--print-address=1"],
            stdout=out, start_new_session=True)
    first_line(work / "session_bus.address", stack.session_bus, "the session bus")
    stack.start(["pipewire"])
    deadline = time.monotonic() + 15
    while not (runtime / "pipewire-0").exists() and time.monotonic() < deadline:
        time.sleep(0.05)
    stack.start(["wireplumber"])
    stack.start(["pipewire-pulse"])
    deadline = time.monotonic() + 15
    while subprocess.run(["pactl", "load-module", "module-null-sink", "sink_name=bench"],
                         capture_output=True).returncode != 0:
        if time.monotonic() > deadline:
            sys.exit("wayland_compare: pipewire-pulse did not start")
        time.sleep(0.05)
    subprocess.run(["pactl", "set-default-sink", "bench"], check=True)
    for attempt in (1, 2):  # on a busy machine gnome-shell now and then fails to start
        with open(work / "gnome-shell.log", "w") as log:
            shell = stack.start(["gnome-shell", "--headless", "--wayland", "--no-x11", "--wayland-display",
                                 "wayland-0", "--virtual-monitor", "1280x720"], stdout=log, stderr=log)
        if subprocess.run(["gdbus", "wait", "--session", "--timeout", "30",
                           "org.gnome.Mutter.ScreenCast"]).returncode == 0:
            break
        stack.end(shell)
        if attempt == 2:
            sys.exit("wayland_compare: gnome-shell did not start")
    stack.start(["/usr/libexec/xdg-desktop-portal-gnome"])
    wait_name("org.freedesktop.impl.portal.desktop.gnome")
    stack.start(["/usr/libexec/xdg-desktop-portal"])
    wait_name(PORTAL)
    return shell


def cpu_seconds(pid):
    fields = Path(f"/proc/{pid}/stat").read_text().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / CLOCK_TICKS


def start_answerer(stack, build):
    work = stack.work
    with open(work / "picker", "w") as out:
        answerer = stack.start([str(build / "quorvale_answer_picker"), "--row", "0"], stdout=out)
    first_line(work / "picker", answerer, "quorvale_answer_picker")
    return answerer


def end_answerer(stack, answerer):
    if answerer is not None:
        try:
            answerer.wait(30)  # it exits once the dialog has gone
        except subprocess.TimeoutExpired:
            pass
        stack.end(answerer)


def finish(stack, proc):
    """Waits for the recorder with its rusage: CPU and peak memory of its whole life."""
    _, status, usage = os.wait4(proc.pid, 0)
    proc.returncode = os.waitstatus_to_exitcode(status)
    stack.procs.remove(proc)
    return usage.ru_utime + usage.ru_stime, usage.ru_maxrss / 1024


def run_ours(stack, build, shell, out, seconds, answer):
    answerer = start_answerer(stack, build) if answer else None
    rec = stack.start([str(build / "quorvale_screen_recorder"), str(out), "0"], stdin=subprocess.PIPE,
                      stdout=subprocess.PIPE, text=True, stderr=open(stack.work / "ours.stderr", "w"))
    for line in rec.stdout:
        if '"status":"error"' in line:
            sys.exit(f"wayland_compare: our recorder failed: {line.strip()}")
        if '"status":"started"' in line:
            break
    else:
        sys.exit("wayland_compare: our recorder exited before it started")
    started, shell_before = time.monotonic(), cpu_seconds(shell.pid)
    time.sleep(seconds)
    stopped = time.monotonic()
    rec.stdin.write("\n")
    rec.stdin.close()
    rec.stdout.read()
    cpu, peak = finish(stack, rec)
    shell_cpu = cpu_seconds(shell.pid) - shell_before
    end_answerer(stack, answerer)
    if rec.returncode != 0:
        sys.exit(f"wayland_compare: our recorder exited with {rec.returncode}")
    return figures(cpu, peak, shell_cpu, out, stopped - started)


class Portal:
    """A ScreenCast session of this process's own D-Bus connection, as an application opens one."""

    def __init__(self):
        self.bus = Gio.bus_get_sync(Gio.BusType.SESSION, None)
        self.sender = self.bus.get_unique_name()[1:].replace(".", "_")
        self.count = 0
        self.token = None
        props = self.bus.call_sync(PORTAL, PORTAL_PATH, "org.freedesktop.DBus.Properties", "Get",
                                   GLib.Variant("(ss)", ("org.freedesktop.portal.ScreenCast",
                                                         "AvailableCursorModes")),
                                   None, Gio.DBusCallFlags.NONE, -1, None)
        modes = props.unpack()[0]
        self.cursor_mode = 2 if modes & 2 else 1  # embedded: pipewiresrc reads no cursor metadata

    def request(self, method, signature, args, options, timeout=120):
        """Calls METHOD (its arguments ARGS, then OPTIONS) and waits for its Response signal."""
        self.count += 1
        token = f"bench{self.count}"
        path = f"{PORTAL_PATH}/request/{self.sender}/{token}"
        answer, loop = {}, GLib.MainLoop()

        def on_response(_bus, _sender, _path, _iface, _signal, params):
            answer["code"], answer["results"] = params.unpack()
            loop.quit()

        # Subscribed before the call: the answer may come before the call returns.
        sub = self.bus.signal_subscribe(PORTAL, "org.freedesktop.portal.Request", "Response", path, None,
                                        Gio.DBusSignalFlags.NONE, on_response)
        options = dict(options, handle_token=GLib.Variant("s", token))
        self.bus.call_sync(PORTAL, PORTAL_PATH, "org.freedesktop.portal.ScreenCast", method,
                           GLib.Variant(signature, (*args, options)), None, Gio.DBusCallFlags.NONE, -1, None)
        timer = GLib.timeout_add_seconds(timeout, loop.quit)
        loop.run()
        if "code" in answer:
            GLib.source_remove(timer)
        self.bus.signal_unsubscribe(sub)
        if answer.get("code") != 0:
            raise RuntimeError(f"portal {method}: response {answer.get('code', 'none within the time')}")
        return answer["results"]

    def open(self):
        """Returns (session, node, fd) for the window, with the grant kept for the next session."""
        session = self.request("CreateSession", "(a{sv})", (), {
            "session_handle_token": GLib.Variant("s", f"benchsession{self.count}")})["session_handle"]
        select = {"types": GLib.Variant("u", 2), "multiple": GLib.Variant("b", False),
                  "cursor_mode": GLib.Variant("u", self.cursor_mode), "persist_mode": GLib.Variant("u", 2)}
        if self.token:
            select["restore_token"] = GLib.Variant("s", self.token)
        self.request("SelectSources", "(oa{sv})", (session,), select)
        started = self.request("Start", "(osa{sv})", (session, ""), {})
        # SelectSources consumed the old token: keep the new one at once.
        self.token = started.get("restore_token", self.token)
        node = started["streams"][0][0]
        result, fds = self.bus.call_with_unix_fd_list_sync(
            PORTAL, PORTAL_PATH, "org.freedesktop.portal.ScreenCast", "OpenPipeWireRemote",
            GLib.Variant("(oa{sv})", (session, {})), GLib.VariantType("(h)"), Gio.DBusCallFlags.NONE, -1,
            None, None)
        return session, node, fds.get(result.unpack()[0])

    def close(self, session):
        self.bus.call_sync(PORTAL, session, "org.freedesktop.portal.Session", "Close", None, None,
                           Gio.DBusCallFlags.NONE, -1, None)


def gst_command(out, node, fd):
    return ["gst-launch-1.0", "-e", "pipewiresrc", f"fd={fd}", f"path={node}", "!", "videoconvert", "!",
            "x264enc", "speed-preset=veryfast", "!", "mp4mux", "!", "filesink", f"location={out}"]


def run_gst(stack, build, shell, portal, out, seconds, answer):
    answerer = start_answerer(stack, build) if answer else None
    session, node, fd = portal.open()
    end_answerer(stack, answerer)
    rec = stack.start(gst_command(out, node, fd), stdout=subprocess.PIPE, text=True, pass_fds=(fd,),
                      stderr=open(stack.work / "gst.stderr", "w"))
    os.close(fd)
    for line in rec.stdout:
        if "Setting pipeline to PLAYING" in line:
            break
    else:
        sys.exit(f"wayland_compare: gst-launch-1.0 exited before it played: {(stack.work / 'gst.stderr').read_text()}")
    started, shell_before = time.monotonic(), cpu_seconds(shell.pid)
    time.sleep(seconds)
    stopped = time.monotonic()
    rec.send_signal(signal.SIGINT)
    rec.stdout.read()
    cpu, peak = finish(stack, rec)
    shell_cpu = cpu_seconds(shell.pid) - shell_before
    portal.close(session)
    if rec.returncode != 0:
        sys.exit(f"wayland_compare: gst-launch-1.0 exited with {rec.returncode}")
    return figures(cpu, peak, shell_cpu, out, stopped - started)


def figures(cpu, peak, shell_cpu, out, seconds):
    duration = subprocess.run(["ffprobe", "-v", "error", "-show_entries", "format=duration", "-of", "csv=p=0",
                               str(out)], capture_output=True, text=True).stdout.strip()
    size = subprocess.run(["ffprobe", "-v", "error", "-select_streams", "v:0", "-show_entries",
                           "stream=width,height", "-of", "csv=p=0:s=x", str(out)],
                          capture_output=True, text=True).stdout.strip()
    return {"cpu": cpu / seconds, "peak_mb": peak, "shell_cpu": shell_cpu / seconds,
            "kb_s": out.stat().st_size / 1024 / seconds, "movie_s": float(duration or 0), "size": size}


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--build-dir", default=str(ROOT / "build"))
    parser.add_argument("--seconds", type=float, default=10.0)
    parser.add_argument("--repeats", type=int, default=3)
    parser.add_argument("--width", type=int, default=1280)
    parser.add_argument("--height", type=int, default=720)
    args = parser.parse_args()
    build = Path(args.build_dir).resolve()
    work = Path(tempfile.mkdtemp(prefix="wayland_compare."))
    stack = Stack(work)
    load_before = os.getloadavg()
    runs = {"ours": [], "gst": []}
    try:
        shell = start_gnome(stack)
        with open(work / "window", "w") as out:
            window = stack.start([str(build / "quorvale_wayland_window"), "--width", str(args.width), "--height",
                                  str(args.height), "--title", "Quorvale bench", "--animate"], stdout=out)
        first_line(work / "window", window, "quorvale_wayland_window")
        portal = Portal()
        for i in range(args.repeats):
            runs["ours"].append(run_ours(stack, build, shell, work / f"ours{i}.mp4", args.seconds, i == 0))
            print("ours", runs["ours"][-1], flush=True)
            runs["gst"].append(run_gst(stack, build, shell, portal, work / f"gst{i}.mp4", args.seconds, i == 0))
            print("gst", runs["gst"][-1], flush=True)
    finally:
        stack.end_all()
        shutil.rmtree(work, ignore_errors=True)
    load_after = os.getloadavg()
    print(f"\nload average before {load_before[0]:.2f} {load_before[1]:.2f}, after {load_after[0]:.2f} "
          f"{load_after[1]:.2f}; nproc {os.cpu_count()}; window {args.width}x{args.height}, "
          f"{args.seconds:g} s a run, {args.repeats} runs each\n")
    print("| program | runs | CPU s/s (median) | gnome-shell CPU s/s (median) | peak RSS MB (max) | KB/s | movie |")
    print("|---|---|---|---|---|---|---|")
    for name, rows in runs.items():
        med = lambda key: statistics.median(r[key] for r in rows)  # noqa: E731
        print(f"| {name} | {len(rows)} | {med('cpu'):.4f} | {med('shell_cpu'):.4f} | "
              f"{max(r['peak_mb'] for r in rows):.1f} | {med('kb_s'):.2f} | {rows[0]['size']}, "
              f"{med('movie_s'):.2f} s |")


if __name__ == "__main__":
    main()
