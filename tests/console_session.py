"""A packed console program run under Wine on a terminal of its own (a pty),
for the Ctrl+C check and the console stress run: start it, read what the
terminal shows, type a key, and wait for its end with a bound."""
import os
import pty
import select
import time


class ConsoleSession:
    def __init__(self, exe, prefix, wine, arguments):
        env = dict(os.environ, WINEPREFIX=prefix, WINEDEBUG="-all", WINEDLLOVERRIDES="mscoree,mshtml=", DISPLAY="")
        self.shown = b""
        self.status = None
        self.pid, self.terminal = pty.fork()
        if self.pid == 0:
            os.execve(wine, [wine, exe] + arguments, env)

    def read_until(self, done, limit):
        """Reads the terminal until done() holds, the program closes it, or limit seconds pass."""
        end = time.monotonic() + limit
        while self.terminal is not None and not done() and time.monotonic() < end:
            ready, _, _ = select.select([self.terminal], [], [], 0.2)
            if ready:
                try:
                    data = os.read(self.terminal, 4096)
                except OSError:
                    return
                if not data:
                    return
                # Wine draws with escape sequences; hiding and showing the cursor splits the text.
                self.shown += data.replace(b"\x1b[?25l", b"").replace(b"\x1b[?25h", b"")

    def showed(self, text):
        return text in self.shown

    def type(self, key):
        os.write(self.terminal, key)

    def wait_end(self, limit):
        """The status the host sees (its low 8 bits), or None when the program
        still runs limit seconds on. The terminal closes as the program ends,
        a moment before the process is gone."""
        end = time.monotonic() + limit
        self.read_until(lambda: False, limit)
        # After its own terminal closed, the program's end is only waited for.
        ended, status = os.waitpid(self.pid, os.WNOHANG)
        while ended == 0 and time.monotonic() < end:
            time.sleep(0.1)
            ended, status = os.waitpid(self.pid, os.WNOHANG)
        if ended == 0:
            return None
        self.status = os.waitstatus_to_exitcode(status)
        return self.status

    def kill(self):
        try:
            os.kill(self.pid, 9)
            os.waitpid(self.pid, 0)
        except (ProcessLookupError, ChildProcessError):
            pass
        self.close()

    def close(self):
        if self.terminal is None:
            return
        try:
            os.close(self.terminal)
        except OSError:
            pass
        self.terminal = None

    def text(self):
        return self.shown.decode("utf-8", "replace")
