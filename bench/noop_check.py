"""Warm no-op `cargo check`: through tarnwick's tools/call versus cargo run directly.

Both sides run `cargo check --message-format=json` in the same fixture crate,
with the same environment (the one the server gives its children), alternating round by round so that drift in the
machine's load falls on both. The crate is checked once first, so every timed
run is a no-op. Prints the medians and minimums and their ratios (server / direct);
the minimums are the steadier figure on a busy machine.
"""

import json
import os
import shutil
import statistics
import subprocess
import sys
import tempfile
import time


def make_crate(root, warnings):
    """A library crate with about `warnings` warnings (unused functions and variables)."""
    os.makedirs(os.path.join(root, "src"))
    with open(os.path.join(root, "Cargo.toml"), "w") as f:
        f.write('[package]\nname = "bench_noop"\nversion = "0.1.0"\nedition = "2021"\n')
    with open(os.path.join(root, "src", "lib.rs"), "w") as f:
        f.write("pub fn answer() -> i32 { 42 }\n")
        for i in range(warnings // 2):  # two warnings each
            f.write(f"fn helper_{i}(value: u32) -> u32 {{ let unused = value; 7 }}\n")


def failed(answer):
    """Whether a raw tools/call response reports a failed call."""
    return answer.rstrip().endswith(b'"isError":true}}')


class Server:
    def __init__(self, path, env, args=()):
        self.proc = subprocess.Popen([path, *args], stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                     stderr=subprocess.DEVNULL, env=env)
        self.next_id = 1

    def send(self, message):
        self.proc.stdin.write(json.dumps(message).encode() + b"\n")
        self.proc.stdin.flush()

    def call(self, tool, arguments):
        return self.request("tools/call", {"name": tool, "arguments": arguments})

    def request(self, method, params):
        """Sends a request and returns the raw response line.

        The line is not parsed: the client's JSON parsing is no part of the
        server's share (a 3 MB answer takes Python longer to parse than the
        server takes to write it).
        """
        request_id = self.next_id
        self.next_id += 1
        self.send({"jsonrpc": "2.0", "id": request_id, "method": method, "params": params})
        head = b'{"jsonrpc":"2.0","id":%d,' % request_id
        while True:
            out = self.proc.stdout.readline()
            if not out:
                raise RuntimeError("server ended")
            if out.startswith(head):
                return out

    def close(self):
        self.proc.stdin.close()
        self.proc.wait(timeout=30)


def main():
    # SERVER may be several paths joined by commas (say, before and after a
    # change): each is measured in the same rounds, beside the same direct runs.
    server_paths, rounds = sys.argv[1].split(","), int(sys.argv[2])
    warnings = int(sys.argv[3]) if len(sys.argv) > 3 else 0
    cargo, rustc = shutil.which("cargo"), shutil.which("rustc")
    if not cargo or not rustc:
        sys.exit("cargo and rustc must be on PATH")
    crate = tempfile.mkdtemp(prefix="tarnwick-bench-")
    try:
        make_crate(crate, warnings)
        # The environment the server gives cargo. RUSTC is fixed for both sides:
        # cargo keeps one rustc-info cache per target directory, and runs with
        # different RUSTC values would keep invalidating each other's.
        env = dict(os.environ, CARGO_NET_OFFLINE="true", CARGO_TERM_COLOR="never", NO_COLOR="1",
                   RUSTC=rustc)
        direct_cmd = [cargo, "check", "--message-format=json"]
        subprocess.run(direct_cmd, cwd=crate, env=env, check=True, capture_output=True)

        servers = [Server(path, env) for path in server_paths]
        args = {"working_dir": crate}
        for server in servers:
            answer = server.call("cargo_check", args)  # warm-up, and a sanity check
            if failed(answer):
                sys.exit("cargo_check failed through the server: " +
                         answer[:2000].decode(errors="replace"))

        direct, served = [], [[] for _ in servers]
        for _ in range(rounds):
            start = time.perf_counter()
            subprocess.run(direct_cmd, cwd=crate, env=env, check=True, capture_output=True)
            direct.append(time.perf_counter() - start)
            for server, times in zip(servers, served):
                start = time.perf_counter()
                answer = server.call("cargo_check", args)
                times.append(time.perf_counter() - start)
                if failed(answer):
                    sys.exit("cargo_check failed through the server")
        for server in servers:
            server.close()
    finally:
        shutil.rmtree(crate, ignore_errors=True)

    d = statistics.median(direct)
    print(f"rounds: {rounds}, crate with about {warnings} warnings")
    print(f"direct cargo check   median {d * 1000:8.2f} ms  (min {min(direct) * 1000:.2f})")
    for path, times in zip(server_paths, served):
        s = statistics.median(times)
        print(f"through {path}")
        print(f"                     median {s * 1000:8.2f} ms  (min {min(times) * 1000:.2f})")
        print(f"  ratio (tarnwick / direct): {s / d:.3f} of the medians, "
              f"{min(times) / min(direct):.3f} of the minimums")


if __name__ == "__main__":
    main()
