"""A real PostgreSQL server for the tests, started from Debian's binaries in a temporary
directory and stopped at the end. PostgreSQL refuses to run as root, so under root the
server runs as the unprivileged user `nobody`."""

import glob
import os
import pwd
import shutil
import socket
import subprocess
import tempfile
import time

from .sanitizer import foreign_program_env


def binaries():
    """The folder of initdb and pg_ctl, or None."""
    found = sorted(glob.glob("/usr/lib/postgresql/*/bin/initdb"))
    if found:
        return os.path.dirname(found[-1])
    initdb = shutil.which("initdb")
    return os.path.dirname(initdb) if initdb else None


def _free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


class Server:
    """A server in a new temporary directory, removed by stop(); or, given `place`, in
    that directory, kept by stop() and started again from it next time (a benchmark's
    store that took long to build)."""

    def __init__(self, place=None):
        self.bindir = binaries()
        if not self.bindir:
            raise RuntimeError("PostgreSQL is not installed (apt-get install postgresql)")
        self.keep = place is not None
        if self.keep:
            os.makedirs(place, exist_ok=True)
            self.place = os.path.abspath(place)
        else:
            self.place = tempfile.mkdtemp(prefix="korvo-pg-")
        self.port = _free_port()
        self.user = None
        if os.geteuid() == 0:
            self.user = "nobody"
            entry = pwd.getpwnam(self.user)
            os.chown(self.place, entry.pw_uid, entry.pw_gid)
        self.data = os.path.join(self.place, "data")
        if not os.path.exists(os.path.join(self.data, "PG_VERSION")):
            self._run("initdb", "-D", self.data, "-A", "trust", "-U", "korvo", "-E", "UTF8",
                      "--no-sync", "--no-instructions")
        options = ("-k %s -p %d -c listen_addresses=127.0.0.1 -c fsync=off "
                   "-c synchronous_commit=off -c full_page_writes=off -c max_connections=50"
                   % (self.place, self.port))
        self._run("pg_ctl", "-D", self.data, "-l", os.path.join(self.place, "log"), "-o", options,
                  "-w", "-t", "60", "start")
        self.url = "postgresql://korvo@127.0.0.1:%d/postgres" % self.port
        self._databases = 0

    def _run(self, tool, *args):
        command = [os.path.join(self.bindir, tool)] + list(args)
        if self.user:
            command = ["runuser", "-u", self.user, "--"] + command
        done = subprocess.run(command, capture_output=True, text=True, cwd=self.place, timeout=120,
                              env=foreign_program_env())
        if done.returncode != 0:
            raise RuntimeError("%s failed: %s%s" % (tool, done.stdout[-2000:], done.stderr[-2000:]))

    def new_database(self):
        """The URL of a new, empty database of this server."""
        self._databases += 1
        return self.database("korvo_test_%d_%d" % (os.getpid(), self._databases))

    def database(self, name, fresh=False):
        """The URL of the database `name` (letters, digits, _), made if missing; `fresh`
        drops it first."""
        import psycopg

        with psycopg.connect(self.url, autocommit=True) as conn:
            if fresh:
                conn.execute("DROP DATABASE IF EXISTS %s" % name)
            if not conn.execute("SELECT 1 FROM pg_database WHERE datname = %s", (name,)).fetchall():
                conn.execute("CREATE DATABASE %s" % name)
        return "postgresql://korvo@127.0.0.1:%d/%s" % (self.port, name)

    def stop(self):
        if self.keep:
            self._run("pg_ctl", "-D", self.data, "-m", "fast", "-w", "stop")
            return
        try:
            self._run("pg_ctl", "-D", self.data, "-m", "immediate", "-w", "stop")
        finally:
            for _ in range(20):
                try:
                    shutil.rmtree(self.place)
                    break
                except OSError:
                    time.sleep(0.1)
