"""Test selection and bisection through tarnwick's cargo_test, against cargo run by hand.

Each case is one tools/call of cargo_test to a server started with
--per-test-execution=true, in a fixture crate made in a temp folder:
  per-test-100  test_filter {"pattern": "."} over 100 passing tests, 50 in the
                library and 50 in one integration test file;
  workspace-40  the same call over a workspace of 5 members, each with its
                library's unit tests and 3 integration test files, 2 tests in each;
  bisect-64     bisect {"group_timeout_secs": 60} over one binary of 64 tests,
                of which t37 fails.
Per launch is the call's wall time over the launches its summary record counts
(`launches`, or `groups_run` for bisection), so the server's build check and
test listing are spread over them. In the workspace a launch's target selector
picks that target in every member, so one launch may run several binaries.
The direct row is one test run by hand in the same crate, `cargo test
[-p MEMBER] --lib|--test TARGET -- --exact NAME`, with the environment the
server gives cargo. Every fixture is built first and each server's first call
of each case is a warm-up; then every round runs the direct commands and each
server's call, so load drift falls on all of them.
SERVER may be several paths joined by commas (say, before and after a change);
the last column is the median over the rounds of each server's wall time over
the first's in the same round, which cancels load that drifts between rounds.
Usage: python3 bench/test_select.py SERVER[,SERVER...] [--rounds 3] [--direct-runs 10]
"""

import argparse
import collections
import json
import os
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

import noop_check

PROTOCOL = "2024-11-05"


def write(path, text):
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "w") as f:
        f.write(text)


def tests_source(names, failing=(), in_module=False):
    body = "".join(f"#[test]\nfn {n}() {{{' panic!();' if n in failing else ''} }}\n"
                   for n in names)
    return f"#[cfg(test)]\nmod tests {{\n{body}}}\n" if in_module else body


def make_package(root, name, lib_tests, test_files, failing=()):
    """A library package; `test_files` maps integration test targets to their test names."""
    write(os.path.join(root, "Cargo.toml"),
          f'[package]\nname = "{name}"\nversion = "0.1.0"\nedition = "2021"\n')
    write(os.path.join(root, "src", "lib.rs"),
          "pub fn answer() -> i32 { 42 }\n" + tests_source(lib_tests, failing, in_module=True))
    for target, tests in test_files.items():
        write(os.path.join(root, "tests", f"{target}.rs"), tests_source(tests))


def test_names(count):
    return [f"t{i:02d}" for i in range(count)]


# The call's arguments besides working_dir, the summary record's reason and its
# keys for launches and tests, and the argument lists of the direct runs.
Case = collections.namedtuple(
    "Case", "label folder arguments reason launches_key tests_key tests direct")


def make_cases(work):
    single = os.path.join(work, "single")
    make_package(single, "sel_single", test_names(50), {"it": test_names(50)})
    single_direct = [["--lib", "--", "--exact", "tests::t07"],
                     ["--test", "it", "--", "--exact", "t07"]]

    workspace = os.path.join(work, "workspace")
    members = [f"member{m}" for m in range(5)]
    listed = ", ".join(f'"{m}"' for m in members)
    write(os.path.join(workspace, "Cargo.toml"),
          f'[workspace]\nresolver = "2"\nmembers = [{listed}]\n')
    for member in members:
        make_package(os.path.join(workspace, member), member, test_names(2),
                     {target: test_names(2) for target in ("alpha", "beta", "gamma")})
    workspace_direct = [["-p", member, "--test", target, "--", "--exact", "t01"]
                        for member in members for target in ("alpha", "beta", "gamma")]

    bisect = os.path.join(work, "bisect")
    make_package(bisect, "sel_bisect", test_names(64), {}, failing=("t37",))
    filter_call = {"test_filter": {"pattern": "."}}
    filter_summary = "x-tarnwick-test-filter-summary"
    return [
        Case("per-test-100", single, filter_call, filter_summary, "launches", "tests_matched",
             100, single_direct),
        Case("workspace-40", workspace, filter_call, filter_summary, "launches", "tests_matched",
             40, workspace_direct),
        Case("bisect-64", bisect, {"bisect": {"group_timeout_secs": 60}},
             "x-tarnwick-bisect-summary", "groups_run", "tests_considered", 64,
             [["--lib", "--", "--exact", "tests::t00"]]),
    ]


class Server(noop_check.Server):
    """A server in per-test mode, past its initialize."""

    def __init__(self, path, env):
        super().__init__(path, env, ["--per-test-execution=true"])
        self.request("initialize", {"protocolVersion": PROTOCOL, "capabilities": {},
                                    "clientInfo": {"name": "bench", "version": "1"}})
        self.send({"jsonrpc": "2.0", "method": "notifications/initialized"})


def summary(answer, reason):
    """The record with this reason in a cargo_test answer, or None."""
    result = json.loads(answer).get("result", {})
    for item in result.get("content", []):
        for line in item.get("text", "").splitlines():
            if f'"reason":"{reason}"' in line:
                return json.loads(line)
    return None


def timed_call(server, case):
    """Seconds to the answer and the launches its summary record counts."""
    arguments = dict(case.arguments, working_dir=case.folder)
    start = time.perf_counter()
    answer = server.call("cargo_test", arguments)
    seconds = time.perf_counter() - start
    record = summary(answer, case.reason) or {}
    # The bisection fails by design (t37), so its check is the one culprit found.
    if "bisect" in case.arguments:
        good = record.get("culprits") == 1
    else:
        good = record.get("status") == "success"
    if not good or record.get(case.tests_key) != case.tests:
        sys.exit(f"{case.label}: unexpected answer: " + answer[-3000:].decode(errors="replace"))
    return seconds, record[case.launches_key]


def direct_seconds(cargo, folder, args, env):
    start = time.perf_counter()
    subprocess.run([cargo, "test", *args], cwd=folder, env=env, check=True, capture_output=True)
    return time.perf_counter() - start


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("server", help="the server, or several joined by commas")
    parser.add_argument("--rounds", type=int, default=3)
    parser.add_argument("--direct-runs", type=int, default=10,
                        help="single-test runs by hand per case and round")
    opts = parser.parse_args()
    server_paths = opts.server.split(",")
    cargo, rustc = shutil.which("cargo"), shutil.which("rustc")
    if not cargo or not rustc:
        sys.exit("cargo and rustc must be on PATH")

    work = tempfile.mkdtemp(prefix="tarnwick-test-select-")
    try:
        cases = make_cases(work)
        # RUSTC is fixed on both sides so that no run invalidates cargo's rustc-info cache.
        env = dict(os.environ, CARGO_NET_OFFLINE="true", CARGO_TERM_COLOR="never", NO_COLOR="1",
                   RUSTC=rustc)
        for case in cases:
            subprocess.run([cargo, "test", "--no-run"], cwd=case.folder, env=env, check=True,
                           capture_output=True)
            for args in case.direct:
                direct_seconds(cargo, case.folder, args, env)

        servers = [Server(path, env) for path in server_paths]
        for server in servers:
            for case in cases:
                timed_call(server, case)

        direct = {case.label: [] for case in cases}
        # By position, not path: the same path may be given twice, to check the pairing.
        served = [{case.label: [] for case in cases} for _ in servers]
        for round_index in range(opts.rounds):
            # The servers take turns at going first, so neither always follows the direct runs.
            pairs, turn = list(enumerate(servers)), round_index % len(servers)
            order = pairs[turn:] + pairs[:turn]
            for case in cases:
                for run in range(opts.direct_runs):
                    args = case.direct[run % len(case.direct)]
                    direct[case.label].append(direct_seconds(cargo, case.folder, args, env))
                for index, server in order:
                    served[index][case.label].append(timed_call(server, case))
        for server in servers:
            server.close()
    finally:
        shutil.rmtree(work, ignore_errors=True)

    width = max(len(p) for p in server_paths + ["direct"])
    print(f"rounds: {opts.rounds}, direct runs: {opts.direct_runs} per case and round; medians")
    print(f"{'case':13} {'server':{width}} {'wall s':>8} {'launches':>8} {'ms/launch':>9} "
          f"{'/ direct':>8} {'/ first':>7}")
    for case in cases:
        label = case.label
        d = statistics.median(direct[label])
        print(f"{label:13} {'direct':{width}} {'':>8} {'':>8} {d * 1000:9.1f}")
        first = served[0][label]
        for index, path in enumerate(server_paths):
            results = served[index][label]
            wall = statistics.median(s for s, _ in results)
            per_launch = statistics.median(s / n for s, n in results)
            launches = statistics.median(n for _, n in results)
            paired = statistics.median(s / f for (s, _), (f, _) in zip(results, first))
            between = f"{paired:7.3f}" if len(server_paths) > 1 else ""
            print(f"{label:13} {path:{width}} {wall:8.2f} {launches:8g} {per_launch * 1000:9.1f} "
                  f"{per_launch / d:8.3f} {between}")


if __name__ == "__main__":
    main()
