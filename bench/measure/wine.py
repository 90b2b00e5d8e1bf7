"""The benchmark's own Wine prefix and server, and one run of a program under
it (pinned to one CPU or as is)."""
import glob
import os
import shutil
import subprocess
import sys
from pathlib import Path

from .common import PIN, PREFIX, WINE, WINESERVER, WINE_RUN, timed


class Wine:
    """The benchmark's own prefix, its Temp on tmpfs, and a Wine server run
    as the set-up asks (pinned: the server and every program on CPU 0)."""

    def __init__(self, scratch):
        self.env = dict(os.environ, WINEPREFIX=str(PREFIX), WINEDEBUG="-all")
        subprocess.run([str(WINE_RUN), str(PREFIX), WINE, "--init"], check=True)
        users = [p for p in glob.glob(str(PREFIX / "drive_c" / "users" / "*")) if not p.endswith("/Public")]
        if len(users) != 1:
            sys.exit("bench: expected one user folder in the prefix, found %s" % users)
        self.user_temp = Path(users[0]) / "Temp"
        self.temp = scratch / "temp"
        self.temp.mkdir()
        # File creation and removal on a disk slow down for minutes after mass
        # deletes; on tmpfs they stay steady from run to run.
        if self.user_temp.is_symlink() or self.user_temp.is_file():
            self.user_temp.unlink()
        elif self.user_temp.exists():
            shutil.rmtree(self.user_temp)
        self.user_temp.symlink_to(self.temp)
        self.windows_temp = "C:\\users\\%s\\Temp" % Path(users[0]).name
        self.pinned = False

    def start_server(self, pinned):
        self.stop_server()
        self.pinned = pinned
        subprocess.run((PIN if pinned else []) + [WINESERVER, "-p"], env=self.env, check=True)
        self.run(["--init"])

    def stop_server(self):
        subprocess.run([WINESERVER, "-k"], env=self.env, stderr=subprocess.DEVNULL)
        subprocess.run([WINESERVER, "-w"], env=self.env)

    def run(self, arguments, expect=0, extra_env=None):
        """Wall seconds and standard output of one program under Wine."""
        command = (PIN if self.pinned else []) + [str(WINE_RUN), str(PREFIX), WINE, *[str(a) for a in arguments]]
        seconds, completed = timed(command, env=dict(self.env, **(extra_env or {})), capture_output=True, text=True)
        if expect is not None and completed.returncode != expect:
            sys.exit("bench: %s exited with %d\n%s%s" % (" ".join(command), completed.returncode, completed.stdout,
                                                         completed.stderr))
        return seconds, completed.stdout

    def left_in_temp(self):
        return sorted(p.name for p in self.temp.iterdir())


def guarded_run(wine, corpus):
    """One whole run of the corpus's packed launcher, which must leave Temp empty."""
    wall, output = wine.run([corpus["packed"], *corpus["arguments"]])
    left = wine.left_in_temp()
    if left:
        sys.exit("bench: the launcher left %s in Temp" % left)
    return wall, output
