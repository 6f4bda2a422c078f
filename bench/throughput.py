"""Output path of tarnwick: throughput, memory, cancellation and tools/list cost.

A stand-in `cargo` (given to the server through CARGO) prints N realistic
compiler-message lines for `cargo check`. The script prints:
  - MB/s of cargo's JSON through the server (tools/call cargo_check) against
    the stand-in writing the same bytes into a plain pipe, and their ratio,
    for several N and for one long line;
  - the server's peak resident memory over the size of the response;
  - cancel to dead tree: from notifications/cancelled to the moment the
    stand-in and the child it started are both gone (median of the rounds);
  - server CPU per tools/list call.
SERVER may be several paths joined by commas (say, before and after a
change): each row then measures all of them in the same rounds, beside the
same plain-pipe runs.
Usage: python3 bench/throughput.py SERVER[,SERVER...] [--lines N,N,...] [--long-mb M]
       [--rounds R] [--cancel-rounds R] [--list-calls N]
"""

import argparse
import json
import os
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

STAND_IN = r'''#!/usr/bin/env python3
import os, subprocess, sys, time
args = sys.argv[1:]
if "check" not in args:
    sys.exit(0)
mode = os.environ.get("BENCH_MODE", "lines")
out = sys.stdout.buffer
if mode == "hang":
    child = subprocess.Popen(["sleep", "600"])
    with open(os.environ["BENCH_PIDS"] + ".tmp", "w") as f:
        f.write(f"{os.getpid()} {child.pid}\n")
    os.rename(os.environ["BENCH_PIDS"] + ".tmp", os.environ["BENCH_PIDS"])
    out.write(b'{"reason":"compiler-artifact","fresh":true}\n')
    out.flush()
    time.sleep(600)
    sys.exit(0)
with open(os.environ["BENCH_LINE"], "rb") as f:
    line = f.read()
count = int(os.environ["BENCH_COUNT"])
block = line * 256 if count >= 256 else b""
for _ in range(count // 256):
    out.write(block)
out.write(line * (count % 256))
out.write(b'{"reason":"build-finished","success":true}\n')
out.flush()
'''

RENDERED = ("warning: function `helper_{i}` is never used\n --> src/lib.rs:{i}:4\n  |\n"
            "{i} | fn helper_{i}() -> u32 {{ 7 }}\n  |    ^^^^^^^^^^\n  |\n"
            "  = note: `#[warn(dead_code)]` (part of `#[warn(unused)]`) on by default\n\n")


def message_line(crate, index, pad=0):
    """One compiler-message line much like what rustc prints for a dead function."""
    text = [{"highlight_end": 14, "highlight_start": 4, "text": f"fn helper_{index}() -> u32 {{ 7 }}"}]
    span = {"byte_end": 120 + index, "byte_start": 110 + index, "column_end": 14, "column_start": 4,
            "expansion": None, "file_name": "src/lib.rs", "is_primary": True, "label": None,
            "line_end": index, "line_start": index, "suggested_replacement": None,
            "suggestion_applicability": None, "text": text}
    help_span = dict(span, suggested_replacement=f"_helper_{index}",
                     suggestion_applicability="MaybeIncorrect")
    rendered = RENDERED.format(i=index) + ("x" * pad)
    record = {
        "reason": "compiler-message",
        "package_id": f"path+file://{crate}#bench_out@0.1.0",
        "manifest_path": f"{crate}/Cargo.toml",
        "target": {"kind": ["lib"], "crate_types": ["lib"], "name": "bench_out",
                   "src_path": f"{crate}/src/lib.rs", "edition": "2021", "doc": True,
                   "doctest": True, "test": True},
        "message": {"rendered": rendered, "$message_type": "diagnostic",
                    "children": [{"children": [], "code": None, "level": "note",
                                  "message": "`#[warn(dead_code)]` (part of `#[warn(unused)]`) on by default",
                                  "rendered": None, "spans": []},
                                 {"children": [], "code": None, "level": "help",
                                  "message": "if this is intentional, prefix it with an underscore",
                                  "rendered": None, "spans": [help_span]}],
                    "code": {"code": "dead_code", "explanation": None}, "level": "warning",
                    "message": f"function `helper_{index}` is never used", "spans": [span]},
    }
    return (json.dumps(record, separators=(",", ":")) + "\n").encode()


class Server:
    def __init__(self, path, env):
        self.proc = subprocess.Popen([path], stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                     stderr=subprocess.DEVNULL, env=env, bufsize=0)
        self.next_id = 1
        self.pending = b""

    def send(self, message):
        self.proc.stdin.write(json.dumps(message).encode() + b"\n")
        self.proc.stdin.flush()

    def request(self, method, params):
        request_id = self.next_id
        self.next_id += 1
        self.send({"jsonrpc": "2.0", "id": request_id, "method": method, "params": params})
        return request_id

    def answer(self, request_id):
        """The response for `request_id`: its first bytes, last bytes and length.

        The output is read as the plain pipe is, in chunks of a mebibyte that
        are searched for line feeds and thrown away, so that the client's own
        copying of a long line stays out of the figures on both sides.
        """
        fd = self.proc.stdout.fileno()
        head, tail, length = b"", b"", 0
        while True:
            chunk = self.pending or os.read(fd, 1 << 20)
            self.pending = b""
            if not chunk:
                raise RuntimeError("server ended")
            end = chunk.find(b"\n")
            piece = chunk if end < 0 else chunk[:end]
            if len(head) < 100:
                head += piece[:100 - len(head)]
            tail = (tail + piece)[-100:] if len(piece) < 100 else piece[-100:]
            length += len(piece)
            if end < 0:
                continue
            self.pending = chunk[end + 1:]
            # Responses start {"jsonrpc":"2.0","id":N,...; notifications have
            # a "method" near the start.
            if b'"method"' not in head and head.startswith(b'{"jsonrpc":"2.0","id":%d,' % request_id):
                return head, tail, length
            head, tail, length = b"", b"", 0

    def status(self, field):
        with open(f"/proc/{self.proc.pid}/status") as f:
            for row in f:
                if row.startswith(field + ":"):
                    return int(row.split()[1]) * 1024
        return 0

    def cpu_seconds(self):
        with open(f"/proc/{self.proc.pid}/stat") as f:
            fields = f.read().rsplit(")", 1)[1].split()
        return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")

    def close(self):
        self.proc.stdin.close()
        self.proc.wait(timeout=30)


def pipe_seconds(stand_in, env, crate):
    """The stand-in writing into a plain pipe that is read and thrown away."""
    start = time.perf_counter()
    proc = subprocess.Popen([stand_in, "check"], stdout=subprocess.PIPE, env=env, cwd=crate)
    while proc.stdout.read(1 << 20):
        pass
    proc.wait()
    return time.perf_counter() - start


def through_server(server_path, stand_in, env, crate):
    """Seconds to the whole answer, its size, the server's peak RSS and CPU."""
    server = Server(server_path, env)
    start = time.perf_counter()
    request_id = server.request("tools/call", {"name": "cargo_check",
                                               "arguments": {"working_dir": crate}})
    head, tail, length = server.answer(request_id)
    seconds = time.perf_counter() - start
    peak = server.status("VmHWM")
    cpu = server.cpu_seconds()
    server.close()
    if tail.endswith(b'"isError":true}}'):
        sys.exit("cargo_check failed through the server: " + head.decode(errors="replace"))
    return seconds, length + 1, peak, cpu


def throughput_rows(label, server_paths, stand_in, env, crate, line, count, rounds):
    """One row for each server: medians over `rounds`, each round running the
    plain pipe and then every server on the same lines."""
    with open(env["BENCH_LINE"], "wb") as f:
        f.write(line)
    env = dict(env, BENCH_COUNT=str(count), BENCH_MODE="lines")
    size = len(line) * count
    piped, runs = [], [[] for _ in server_paths]
    for _ in range(rounds):
        piped.append(pipe_seconds(stand_in, env, crate))
        for path, results in zip(server_paths, runs):
            results.append(through_server(path, stand_in, env, crate))
    pipe = statistics.median(piped)
    print(f"{label}: {size / 1e6:.1f} MB, plain pipe {size / pipe / 1e6:.1f} MB/s "
          f"(median of {rounds})")
    for path, results in zip(server_paths, runs):
        served = statistics.median(r[0] for r in results)
        ratio = statistics.median(r[2] / r[1] for r in results)
        cpu = statistics.median(r[3] for r in results)
        print(f"  {path}: {size / served / 1e6:8.1f} MB/s  ratio to pipe {served / pipe:6.2f}  "
              f"peak RSS {ratio:5.2f} x response  server CPU {cpu:.2f} s")


def alive(pid):
    try:
        with open(f"/proc/{pid}/stat") as f:
            return f.read().rsplit(")", 1)[1].split()[0] != "Z"
    except (FileNotFoundError, ProcessLookupError):
        return False


def cancel_rounds(server_path, stand_in, env, crate, rounds):
    pids_file = os.path.join(crate, "pids")
    env = dict(env, BENCH_MODE="hang", BENCH_PIDS=pids_file)
    server = Server(server_path, env)
    latencies = []
    for _ in range(rounds):
        if os.path.exists(pids_file):
            os.remove(pids_file)
        request_id = server.request("tools/call", {"name": "cargo_check",
                                                   "arguments": {"working_dir": crate}})
        deadline = time.monotonic() + 30
        while not os.path.exists(pids_file):
            if time.monotonic() > deadline:
                sys.exit("the stand-in never started")
            time.sleep(0.001)
        time.sleep(0.05)  # let the run settle into its wait
        with open(pids_file) as f:
            pids = [int(p) for p in f.read().split()]
        start = time.perf_counter()
        server.send({"jsonrpc": "2.0", "method": "notifications/cancelled",
                     "params": {"requestId": request_id}})
        while any(alive(p) for p in pids):
            pass
        latencies.append(time.perf_counter() - start)
        server.answer(request_id)
    server.close()
    latencies.sort()
    print(f"  cancel to dead tree: median {statistics.median(latencies) * 1000:.2f} ms, "
          f"min {latencies[0] * 1000:.2f}, max {latencies[-1] * 1000:.2f} ({rounds} rounds)")


def tools_list_cost(server_path, env, calls):
    server = Server(server_path, env)
    server.answer(server.request("tools/list", {}))  # the first call may build the catalogue
    before = server.cpu_seconds()
    for _ in range(calls):
        server.answer(server.request("tools/list", {}))
    used = server.cpu_seconds() - before
    server.close()
    print(f"  tools/list: {used / calls * 1000:.3f} ms of server CPU per call ({calls} calls)")


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("server", help="the server, or several joined by commas")
    parser.add_argument("--lines", default="10000,100000")
    parser.add_argument("--long-mb", type=int, default=100)
    parser.add_argument("--rounds", type=int, default=3)
    parser.add_argument("--cancel-rounds", type=int, default=20)
    parser.add_argument("--list-calls", type=int, default=500)
    opts = parser.parse_args()
    servers = opts.server.split(",")

    work = tempfile.mkdtemp(prefix="tarnwick-throughput-")
    try:
        crate = os.path.join(work, "crate")
        os.makedirs(os.path.join(crate, "src"))
        with open(os.path.join(crate, "Cargo.toml"), "w") as f:
            f.write('[package]\nname = "bench_out"\nversion = "0.1.0"\nedition = "2021"\n')
        stand_in = os.path.join(work, "cargo")
        with open(stand_in, "w") as f:
            f.write(STAND_IN)
        os.chmod(stand_in, 0o755)
        env = dict(os.environ, CARGO=stand_in, BENCH_LINE=os.path.join(work, "line"))

        line = message_line(crate, 42)
        print(f"compiler-message line: {len(line)} bytes")
        for count in [int(n) for n in opts.lines.split(",") if n]:
            throughput_rows(f"{count} lines", servers, stand_in, env, crate, line, count,
                            opts.rounds)
        if opts.long_mb:
            long_line = message_line(crate, 7, pad=opts.long_mb * 1000 * 1000)
            throughput_rows(f"1 line of {opts.long_mb} MB", servers, stand_in, env, crate,
                            long_line, 1, opts.rounds)
        for path in servers:
            print(path)
            if opts.cancel_rounds:
                cancel_rounds(path, stand_in, env, crate, opts.cancel_rounds)
            if opts.list_calls:
                tools_list_cost(path, env, opts.list_calls)
    finally:
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()
