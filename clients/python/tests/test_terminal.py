"""``python -m calvex --watch`` in a real terminal: tmux at 80x24, then made
smaller, read back with capture-pane as a person would see it; and Ctrl-C
gives the terminal back as it was."""

import os
import shlex
import shutil
import subprocess
import sys
import time
from pathlib import Path
from typing import List

import pytest
from conftest import PACKAGE, ROOT, TIME_SCALE, simulated, within

TMUX = shutil.which("tmux")
pytestmark = pytest.mark.skipif(TMUX is None, reason="tmux is not installed (Debian package tmux)")


class Terminal:
    """A tmux server of its own, with one window running a shell command."""

    def __init__(self, folder: Path, command: str, columns: int, rows: int) -> None:
        self._environment = {**os.environ, "TMUX_TMPDIR": str(folder)}
        self._environment.pop("TMUX", None)
        self.tmux("new-session", "-d", "-s", "calvex", "-x", str(columns), "-y", str(rows), "sh", "-c", command)

    def tmux(self, *arguments: str) -> str:
        assert TMUX is not None
        done = subprocess.run([TMUX, "-L", "calvex-test", "-f", "/dev/null", *arguments], capture_output=True, text=True,
                              timeout=10, env=self._environment)
        return done.stdout

    def screen(self) -> List[str]:
        """What the window shows now, one string per row."""
        return self.tmux("capture-pane", "-p", "-t", "calvex").split("\n")[:-1]

    def wait_for(self, what: str, seconds: float, check: "object") -> List[str]:
        deadline = time.monotonic() + seconds * TIME_SCALE
        while True:
            screen = self.screen()
            if check(screen):  # type: ignore[operator]
                return screen
            if time.monotonic() > deadline:
                raise AssertionError(f"{what}; the screen:\n" + "\n".join(screen))
            time.sleep(0.05)

    def close(self) -> None:
        self.tmux("kill-server")


def fits(screen: List[str], columns: int, rows: int) -> bool:
    return len(screen) <= rows and all(len(line) <= columns for line in screen)


# Both commands, as a person runs them: python -m calvex and npx calvex.
COMMANDS = {
    "python -m calvex": [sys.executable, "-m", "calvex"],
    "npx calvex": ["node", str(ROOT / "clients" / "node" / "cli.js")],
}
CLIMBING = str(ROOT / "sim" / "scenarios" / "climbing.scenario")


def cpu_trend(screen: List[str]) -> str:
    """The trend drawn on the cpu line, or nothing."""
    line = next((line for line in screen if line.startswith("cpu ")), "")
    return line[len("cpu") + 35:] if len(line) > 38 else ""


@pytest.mark.parametrize("command", sorted(COMMANDS))
def test_watch_draws_the_trend_fits_the_terminal_redraws_on_resize_and_gives_the_terminal_back(tmp_path: Path, command: str) -> None:
    watch = shlex.join([*COMMANDS[command], "--watch", "200", "--helper", *simulated(CALVEX_SIM_SCENARIO=CLIMBING)])
    shell = f"trap true INT; echo before; LANG=C.UTF-8 PYTHONPATH={shlex.quote(str(PACKAGE))} {watch}; echo status $?; sleep 60"
    terminal = Terminal(tmp_path, shell, 80, 24)
    try:
        # The trend grows a column per snapshot, never past 30, newest on the right.
        lengths: List[int] = []
        screen = terminal.wait_for(
            "a trend of 30 snapshots at 80x24", 30,
            lambda s: (lengths.append(len(cpu_trend(s))) or True) and len(cpu_trend(s)) == 30,
        )
        assert lengths == sorted(lengths) and max(lengths) == 30 and len(set(lengths)) > 5, lengths
        assert fits(screen, 80, 24) and len(screen) == 24
        assert screen[0].startswith("kind") and screen[0].endswith("  trend")
        trend = cpu_trend(screen)
        assert trend == "".join(sorted(trend)) and trend[0] == "▁" and trend[-1] == "█", trend  # a climb, drawn
        assert any(line.startswith("hottest: PMU tdie3 (cpu)") for line in screen)
        (tmp_path / f"{command.split()[0]}-80x24.screen").write_text("\n".join(screen) + "\n")

        terminal.tmux("resize-window", "-t", "calvex", "-x", "50", "-y", "14")
        screen = terminal.wait_for(
            "a view redrawn at 50x14", 5 * TIME_SCALE, lambda s: len(s) == 14 and s[0].startswith("kind") and "not shown" in s[-1]
        )
        assert fits(screen, 50, 14) and len(cpu_trend(screen)) == 50 - 38

        terminal.tmux("send-keys", "-t", "calvex", "C-c")
        screen = terminal.wait_for("the shell again", 10, lambda s: any(line == "status 130" for line in s))
        shown = [line for line in screen if line]
        assert shown == ["before", "status 130"], "the view was left on the terminal"
    finally:
        terminal.close()


@pytest.mark.parametrize("command", sorted(COMMANDS))
def test_a_terminal_without_utf8_gets_a_plain_ascii_trend(tmp_path: Path, command: str) -> None:
    watch = shlex.join([*COMMANDS[command], "--watch", "200", "--helper", *simulated(CALVEX_SIM_SCENARIO=CLIMBING)])
    terminal = Terminal(tmp_path, f"LANG=C LC_ALL= TERM=dumb PYTHONPATH={shlex.quote(str(PACKAGE))} {watch}", 80, 24)
    try:
        screen = terminal.wait_for("an ASCII trend", 30, lambda s: len(cpu_trend(s)) >= 5)
        assert set(cpu_trend(screen)) <= set("_.:-=+*#"), cpu_trend(screen)
    finally:
        terminal.close()


def test_a_watch_into_a_pipe_writes_plain_views() -> None:
    child = subprocess.Popen(
        [sys.executable, "-m", "calvex", "--watch", "200", "--helper", *simulated()],
        stdout=subprocess.PIPE, stderr=subprocess.PIPE, env={"PYTHONPATH": str(PACKAGE), "PATH": "/usr/bin:/bin"},
    )
    assert child.stdout is not None
    views = [b""]
    while len(views) < 3:
        line = within(10, child.stdout.readline)
        if line == b"\n":
            views.append(b"")
        else:
            views[-1] += line
    child.send_signal(2)
    child.communicate(timeout=10 * TIME_SCALE)
    assert child.returncode == 130
    assert all(view.startswith(b"kind ") and b"\x1b" not in view for view in views[:2])
    assert all(len(view.splitlines()) > 55 for view in views[:2]), "a pipe gets every sensor"
