#!/usr/bin/env python3
"""The controller simulator's pty loop, driven natively by a host written here: a whole step,
device output, a host that closes and reopens the port, a disconnect, and the ways it ends.

    sim_pty_host.py SIMULATOR MKEXAMPLE
"""
import os
import select
import signal
import subprocess
import sys
import tempfile
import time
import tty
import unittest

SIM = MKEXAMPLE = None
WAIT = 5.0  # seconds any single answer may take


def blocks(program):
    at = 0
    while at < len(program):
        yield program[at:at + program[at] + 5]
        at += program[at] + 5


class Host:
    """One opening of the simulator's port."""

    def __init__(self, path):
        self.fd = os.open(path, os.O_RDWR | os.O_NOCTTY)
        tty.setraw(self.fd)

    def close(self):
        if self.fd >= 0:
            os.close(self.fd)
            self.fd = -1

    def send(self, data):
        os.write(self.fd, data)

    def receive(self, until, limit=WAIT):
        """Bytes up to and including the first byte of until, or all that came within limit."""
        got = b""
        end = time.monotonic() + limit
        while time.monotonic() < end:
            ready, _, _ = select.select([self.fd], [], [], end - time.monotonic())
            if not ready:
                break
            try:
                chunk = os.read(self.fd, 4096)
            except OSError:
                break
            if not chunk:
                break
            got += chunk
            if any(byte in until for byte in chunk):
                break
        return got


class SimulatorPty(unittest.TestCase):
    def setUp(self):
        self.dir = tempfile.TemporaryDirectory()
        self.sim = None
        self.hosts = []

    def tearDown(self):
        for host in self.hosts:
            host.close()
        self.stop()
        self.dir.cleanup()

    def stop(self):
        if self.sim:
            if self.sim.poll() is None:
                self.sim.kill()
                self.sim.wait()
            self.sim.stdout.close()

    def open(self, path):
        host = Host(path)
        self.hosts.append(host)
        return host

    def file(self, name):
        return os.path.join(self.dir.name, name)

    def start(self, *args):
        self.stop()
        self.sim = subprocess.Popen(
            [SIM, "--record", self.file("record"), "--summary", self.file("summary"), "--idle-timeout", "20",
             *args], stdout=subprocess.PIPE)
        return self.sim.stdout.readline().decode().strip()

    def finish(self):
        status = self.sim.wait(timeout=10)
        with open(self.file("summary")) as summary:
            return status, dict(line.split("=", 1) for line in summary.read().split())

    def program(self, size, seed):
        path = self.file("program%d.b86" % seed)
        subprocess.run([MKEXAMPLE, "--b86", path, "--size", str(size), "--seed", str(seed)], check=True)
        with open(path, "rb") as program:
            return path, program.read()

    def load(self, host, ack, image, program):
        host.send(b"\0")
        self.assertEqual(host.receive(bytes([ack])), bytes([ack]))
        host.send(image)
        self.assertEqual(host.receive(b"\x11"), b"\x11")
        for block in blocks(program):
            host.send(block)
            self.assertEqual(host.receive(b"\x11"), b"\x11")

    def test_two_steps_are_recorded_byte_for_byte(self):
        path1, program1 = self.program(1200, 1)
        path2, program2 = self.program(700, 2)
        image = b"\x42" * 960
        host = self.open(self.start("--step", "ack=0xC5,program=" + path1, "--step", "ack=163,zeros=2,program=" + path2))
        self.load(host, 0xC5, image, program1)
        host.send(b"\0")
        self.assertEqual(host.receive(b"\xa3", limit=0.2), b"")  # the second step wants two zeros
        self.load(host, 0xA3, image, program2)
        host.close()
        status, summary = self.finish()
        self.assertEqual(status, 0)
        self.assertEqual(summary["end"], "complete")
        self.assertEqual(summary["step2.zeros"], "2")
        with open(self.file("record"), "rb") as record:
            self.assertEqual(record.read(), b"\0" + image + program1 + b"\0\0" + image + program2)

    def test_output_surrounds_the_acknowledge(self):
        host = self.open(self.start("--step", "ack=0xC5,size=5", "--output", "before:1.boot=OK\\r\\n\\x07",
                               "--output", "after:1.boot=READY", "--linger", "0"))
        host.send(b"\0")
        host.receive(b"\xc5")
        host.send(b"\xff" * 960)
        self.assertEqual(host.receive(b"Y"), b"OK\r\n\x07\x11READY")

    def test_a_reopened_port_serves_a_restarted_device(self):
        path = self.start("--step", "ack=0xC5,size=5", "--restart-on-reopen")
        host = self.open(path)
        host.send(b"\0")
        host.receive(b"\xc5")
        host.send(b"\xff" * 100)  # half an image, then the host gives up
        host.close()
        time.sleep(0.2)
        host = self.open(path)
        self.load(host, 0xC5, b"\xff" * 960, b"\0" * 5)
        host.close()
        status, summary = self.finish()
        self.assertEqual((status, summary["end"], summary["host_closes"]), (0, "complete", "2"))

    def test_a_reopened_port_keeps_the_state_of_a_running_device(self):
        path = self.start("--step", "ack=0xC5,size=5")
        host = self.open(path)
        host.send(b"\0")
        host.receive(b"\xc5")
        host.send(b"\xff" * 500)
        host.close()
        time.sleep(0.2)
        host = self.open(path)
        host.send(b"\xff" * 460)
        self.assertEqual(host.receive(b"\x11"), b"\x11")

    def test_a_disconnect_delivers_the_last_answer_then_hangs_up(self):
        host = self.open(self.start("--step", "ack=0xC5,size=15", "--disconnect", "1.block.2",
                               "--output", "after:1.block.2=bye"))
        self.load(host, 0xC5, b"\xff" * 960, b"\0" * 5)
        host.send(b"\0" * 5)
        self.assertEqual(host.receive(b"e"), b"\x11bye")
        status, summary = self.finish()
        self.assertEqual((status, summary["end"], summary["blocks"]), (0, "disconnect", "2"))
        with self.assertRaises(OSError):
            host.send(b"\0" * 5)

    def test_it_ends_on_a_signal_or_when_idle(self):
        cases = [
            ("signal", ["--step", "ack=1,size=5"], lambda: self.sim.send_signal(signal.SIGTERM)),
            ("signal", ["--step", "ack=1,size=5"], lambda: self.sim.send_signal(signal.SIGINT)),
            ("idle-timeout", ["--step", "ack=1,size=5", "--idle-timeout", "1"], lambda: None),
        ]
        for end, args, action in cases:
            with self.subTest(end=end):
                self.start(*args)
                action()
                status, summary = self.finish()
                self.assertEqual((status, summary["end"]), (3, end))

    def test_the_link_lives_as_long_as_the_simulator(self):
        link = self.file("com12")
        os.symlink("/dev/null", link)  # left over from an earlier run
        path = self.start("--step", "ack=1,size=5", "--link", link)
        self.assertEqual(os.readlink(link), path)
        self.sim.send_signal(signal.SIGTERM)
        self.finish()
        self.assertFalse(os.path.lexists(link))


if __name__ == "__main__":
    SIM, MKEXAMPLE = sys.argv[1], sys.argv[2]
    unittest.main(argv=sys.argv[:1], verbosity=2)
