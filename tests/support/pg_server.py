#!/usr/bin/env python3
"""A throw-away PostgreSQL server for the tests and benchmarks of the record store: its own
cluster in one folder, reached only through a Unix socket in that folder, so that it needs no
free TCP port and cannot meet another server of the machine.

  pg_server.py start FOLDER     starts (creating the cluster the first time), prints the URI
  pg_server.py stop FOLDER      stops; the data stays for the next start
  pg_server.py remove FOLDER    stops if running and deletes the folder

PostgreSQL refuses to run as root, and CI is root: then the server runs as the system user
tovrin-pg, made on first use."""
import glob
import os
import pwd
import re
import shutil
import socket
import subprocess
import sys
import tempfile
from pathlib import Path
from urllib.parse import quote

SERVER_USER = "tovrin-pg"


def _bin_dir():
    found = [Path(d) for d in glob.glob("/usr/lib/postgresql/*/bin") if Path(d).parent.name.isdigit()]
    if not found:
        raise RuntimeError("no PostgreSQL server under /usr/lib/postgresql (scripts/setup.sh installs it)")
    return max(found, key=lambda d: int(d.parent.name))


def _server_account():
    """(uid, gid) to run the server as, or None to run it as ourselves."""
    if os.geteuid() != 0:
        return None
    try:
        entry = pwd.getpwnam(SERVER_USER)
    except KeyError:
        # Another test may create the user at the same moment, so only its existence counts.
        subprocess.run(["useradd", "--system", "--no-create-home", "--shell", "/usr/sbin/nologin",
                        SERVER_USER], capture_output=True, timeout=60)
        entry = pwd.getpwnam(SERVER_USER)
    return entry.pw_uid, entry.pw_gid


class PgServer:
    def __init__(self, folder=None):
        self.bin = _bin_dir()
        self.account = _server_account()
        if folder is None:
            folder = tempfile.mkdtemp(prefix="tovrin-pg-")
        self.folder = Path(folder).absolute()
        self.data, self.sock, self.log = self.folder / "data", self.folder / "sock", self.folder / "server.log"
        self.port = self._configured_port()

    def _configured_port(self):
        conf = self.data / "postgresql.conf"
        ports = re.findall(r"^port = (\d+)", conf.read_text(), re.M) if conf.exists() else []
        return int(ports[-1]) if ports else None

    def _reachable_folder(self):
        self.folder.mkdir(parents=True, exist_ok=True)
        self.sock.mkdir(exist_ok=True)
        if self.account is None:
            return
        for path in (self.folder, self.sock):
            os.chown(path, *self.account)
        # The server user must pass through every folder above its own; only search rights are
        # given, and only inside the temp folder, where pytest and mkdtemp make 0700 folders.
        temp = Path(tempfile.gettempdir()).resolve()
        for parent in self.folder.resolve().parents:
            mode = parent.stat().st_mode
            if mode & 0o001:
                continue
            if parent != temp and temp not in parent.parents:
                raise RuntimeError(f"{SERVER_USER} cannot reach {self.folder}: {parent} is closed to it; "
                                   f"use a folder under {temp}")
            parent.chmod((mode & 0o7777) | 0o001)

    def _run(self, args, timeout, as_server=True, **kwargs):
        account = self.account if as_server else None
        env = {k: v for k, v in os.environ.items() if not k.startswith("PG")}
        return subprocess.run(args, capture_output=True, text=True, timeout=timeout, env=env, cwd=self.folder,
                              user=account and account[0], group=account and account[1],
                              extra_groups=[] if account else None, **kwargs)

    def _fail(self, what, result):
        tail = "".join(self.log.read_text(errors="replace").splitlines(True)[-30:]) if self.log.exists() else ""
        raise RuntimeError(f"{what} failed (exit {result.returncode}): {result.stderr.strip()}\n"
                           f"--- {self.log} (last lines) ---\n{tail}")

    def start(self):
        self._reachable_folder()
        if not (self.data / "PG_VERSION").exists():
            result = self._run([self.bin / "initdb", "-D", self.data, "--auth=trust", "-U", "postgres",
                                "--encoding=UTF8", "--locale=C"], timeout=180)
            if result.returncode != 0:
                self._fail("initdb", result)
            with socket.socket() as probe:  # the port only names the socket file, but stays clear of TCP users
                probe.bind(("127.0.0.1", 0))
                self.port = probe.getsockname()[1]
            sock = str(self.sock).replace("'", "''")
            with open(self.data / "postgresql.conf", "a") as conf:
                conf.write(f"\n# tests/support/pg_server.py\nlisten_addresses = ''\n"
                           f"unix_socket_directories = '{sock}'\nport = {self.port}\nmax_connections = 200\n")
        if self.running():
            return
        result = self._run([self.bin / "pg_ctl", "start", "-D", self.data, "-l", self.log, "-w", "-t", "60"],
                           timeout=90)
        if result.returncode != 0:
            self._fail("pg_ctl start", result)

    def stop(self, mode="fast"):
        if not self.running():
            return
        result = self._run([self.bin / "pg_ctl", "stop", "-D", self.data, "-m", mode, "-w", "-t", "60"], timeout=90)
        if result.returncode != 0:
            self._fail("pg_ctl stop", result)

    def remove(self):
        try:
            self.stop()
        except (RuntimeError, subprocess.TimeoutExpired):
            self.stop("immediate")  # a server stuck in a fast shutdown must not outlive its folder
        shutil.rmtree(self.folder, ignore_errors=True)
        if self.folder.exists():
            raise RuntimeError(f"could not delete {self.folder}")

    def running(self):
        if not (self.data / "PG_VERSION").exists():
            return False
        # pg_ctl status: 0 running, 3 not running, 4 no usable data folder.
        result = self._run([self.bin / "pg_ctl", "status", "-D", self.data], timeout=30)
        if result.returncode not in (0, 3):
            self._fail("pg_ctl status", result)
        return result.returncode == 0

    def uri(self, database="postgres", user="postgres"):
        if self.port is None:
            raise RuntimeError(f"no cluster in {self.folder} yet: start() makes it")
        return f"postgresql://{quote(user, safe='')}@{quote(str(self.sock), safe='')}:{self.port}/{quote(database, safe='')}"

    def createdb(self, name):
        self.psql("postgres", 'CREATE DATABASE "{}"'.format(name.replace('"', '""')))

    def psql(self, database, sql, timeout=300):
        # -q keeps command tags out, so the output is the rows alone.
        result = self._run([self.bin / "psql", "-X", "-q", "-A", "-t", "-v", "ON_ERROR_STOP=1",
                            "-d", self.uri(database), "-f", "-"], timeout=timeout, as_server=False, input=sql)
        if result.returncode != 0:
            self._fail(f"psql on {database}", result)
        return result.stdout

    def __enter__(self):
        self.start()
        return self

    def __exit__(self, *exc):
        self.remove()


if __name__ == "__main__":
    if len(sys.argv) != 3 or sys.argv[1] not in ("start", "stop", "remove"):
        sys.exit(f"usage: {sys.argv[0]} start|stop|remove FOLDER")
    server = PgServer(sys.argv[2])
    if sys.argv[1] == "start":
        server.start()
        print(server.uri())
    else:
        getattr(server, sys.argv[1])()
