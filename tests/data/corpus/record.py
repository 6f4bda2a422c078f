"""Records the answer corpus's cargo runs: real cargo on small crates.

Usage: python3 tests/data/corpus/record.py build/tarnwick [RECORDING...]

Named recordings alone are made again when given (and none is derived).

Each recording is a folder under tests/data/corpus/streams holding, for every
cargo run the server made during one tools/call, N.args (one argument a line),
N.stdout, N.stderr and N.exit. The stand-in cargo (tests/helpers/fake_cargo,
action `play`) replays them by their arguments. The crates are written under
/tmp/tarnwick-corpus, whose paths therefore appear in the recorded output.

A few recordings are derived from real lines where this machine's cargo cannot
produce the case (the incremental-session advisories, hand-made JSON edge
cases); they are written by `derive_recordings` below.
"""

import json
import os
import shutil
import subprocess
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
STREAMS = os.path.join(HERE, "streams")
CRATES = "/tmp/tarnwick-corpus"

WARNINGS = {
    "src/lib.rs": (
        "use std::collections::HashMap;\n"
        "use std::fmt::Write as _;\n\n"
        "#[path = \"données.rs\"]\nmod donnees;\nmod util;\n\n"
        "pub const lowercase_limit: u32 = 10;\n\n"
        "pub struct point_value { pub x: i32 }\n\n"
        "pub fn café() -> String {\n"
        "    let naïve = \"naïve — 日本語 🎉 \\\"quoted\\\" back\\\\slash\";\n"
        "    let mut unused_mut = 5;\n"
        "    let tab\t=\t1;\n"
        "    String::from(\"ok\")\n"
        "}\n\n"
        "pub fn ctl() -> &'static str { let s = \"a\x01b\x1bc\"; let unused_ctl = 1; s }\n\n"
        "fn dead_helper() -> u32 { 7 }\n\n"
        "pub fn MixedCase() {}\n\n"
        "pub fn must_use() { Some(1).map(|x| x + 1); }\n"),
    "src/données.rs": (
        "pub fn ÉtéFonction() {}\n"
        "pub fn AutreNom(Paramètre: u32) -> u32 { 1 }\n"
        "pub struct données_brutes;\n"),
    "src/util.rs": (
        "pub fn LoudName() {}\n"
        "#[deprecated(note = \"use `new_way` — it's \\\"better\\\"\")]\n"
        "pub fn old_way() {}\n"
        "pub fn uses_old() { old_way(); }\n"
        "pub fn parens() -> u32 { (1 + 2) }\n"
        "pub fn spin() { while true { break; } }\n"),
}

ERRORS = {
    "src/lib.rs": (
        "pub fn takes_two(a: u32, b: u32) -> u32 { a + b }\n\n"
        "pub fn mismatched() -> String {\n"
        "    let label: String = \"étiquette — 名前\";\n"
        "    label\n}\n\n"
        "pub fn missing_argument() -> u32 {\n    takes_two(1)\n}\n\n"
        "pub fn similar_name() -> u32 {\n    let counter = 3;\n    countr + 1\n}\n\n"
        "pub fn moved() -> usize {\n"
        "    let words = vec![String::from(\"a\")];\n"
        "    let first = words;\n"
        "    words.len() + first.len()\n}\n\n"
        "fn unused_thing() {}\n"),
}

LINTS = {
    "src/lib.rs": (
        "pub fn needless(x: u32) -> u32 { return x + 1; }\n"
        "pub fn is_empty_check(v: &Vec<u32>) -> bool { v.len() == 0 }\n"
        "pub fn in_range(x: u32) -> bool { x >= 3 && x <= 9 }\n"
        "pub fn compare_bool(b: bool) -> bool { b == true }\n"
        "pub fn single(o: Option<u32>) { match o { Some(v) => println!(\"{v} — ünïcode\"), _ => {} } }\n"
        "pub struct Maker { pub n: u32 }\n"
        "impl Maker { pub fn new() -> Self { Maker { n: 0 } } }\n"
        "pub fn sum(v: &[u32]) -> u32 { let mut t = 0; for i in 0..v.len() { t += v[i]; } t }\n"
        "pub fn as_byte() -> u8 { 'é' as u8 }\n"),
}

BUILD_SCRIPT = {
    "build.rs": (
        "fn main() {\n"
        "    println!(\"cargo:rerun-if-changed=build.rs\");\n"
        "    println!(\"cargo:warning=construit — «ok» \\\"quoted\\\" \\\\ back\");\n"
        "}\n"),
    "src/lib.rs": "pub fn answer() -> u32 { let spare = 1; 42 }\n",
}

TESTS = {
    "src/lib.rs": (
        "/// Adds.\n"
        "/// ```\n/// assert_eq!(tests::add(2, 2), 4);\n/// ```\n"
        "/// ```\n/// assert_eq!(tests::add(2, 2), 5, \"doc — «sic»\");\n/// ```\n"
        "pub fn add(a: u32, b: u32) -> u32 { a + b }\n\n"
        "#[cfg(test)]\nmod tests {\n    use super::*;\n    use std::io::Write;\n\n"
        "    #[test]\n    fn passes() { assert_eq!(add(1, 1), 2); }\n\n"
        "    #[test]\n    fn fails_with_unicode() {\n"
        "        assert_eq!(add(1, 1), 3, \"café — 日本語 \\\"quoted\\\" \\\\ back\\tslash\");\n    }\n\n"
        "    #[test]\n    #[ignore]\n    fn ignored() {}\n\n"
        "    #[test]\n    #[ignore = \"needs a \\\"reason\\\"\"]\n    fn ignored_with_reason() {}\n\n"
        "    #[test]\n    fn raw_bytes() {\n"
        "        // Straight to the descriptors, past the test harness's capture.\n"
        "        std::io::stdout().write_all(b\"bad \\xff\\xfe bytes \\xc3( \\x07 \\x1b[1mbold\\x1b[0m\\r\\n\").unwrap();\n"
        "        std::io::stdout().write_all(b\"carriage\\rreturn\\n\").unwrap();\n"
        "        std::io::stderr().write_all(b\"stderr \\xff bytes\\n\").unwrap();\n    }\n}\n"),
    "tests/it.rs": "#[test]\nfn integration_passes() { assert!(tests::add(0, 0) == 0); }\n",
}

QUIET = {"src/lib.rs": "pub fn answer() -> u32 { 42 }\n"}

# A failing build whose dropped lines (the dependency's artifact and build
# script records) are longer than the invocation record.
DEPENDENCY_ERROR = {
    "Cargo.toml": (
        '[package]\nname = "dependent"\nversion = "0.1.0"\nedition = "2021"\n\n'
        '[dependencies]\nhelper = { path = "helper" }\n'),
    "helper/Cargo.toml": '[package]\nname = "helper"\nversion = "0.1.0"\nedition = "2021"\n',
    "helper/build.rs": 'fn main() {\n    println!("cargo:rerun-if-changed=build.rs");\n}\n',
    "helper/src/lib.rs": "pub fn helped() -> u32 { 7 }\n",
    "src/lib.rs": "pub fn broken() -> String {\n    helper::helped()\n}\n",
}

# (recording, crate, files, tool, arguments)
RECORDINGS = [
    ("check_warnings", "warnings", WARNINGS, "cargo_check", {}),
    ("check_errors", "errors", ERRORS, "cargo_check", {}),
    ("clippy_lints", "lints", LINTS, "cargo_clippy", {}),
    ("build_script", "build_script", BUILD_SCRIPT, "cargo_build", {}),
    ("test_mixed", "tests", TESTS, "cargo_test", {}),
    ("test_doc", "tests", TESTS, "cargo_test", {"doc": True}),
    ("check_quiet", "quiet", QUIET, "cargo_check", {}),
    ("build_quiet", "quiet", QUIET, "cargo_build", {}),
    ("check_dependency_error", "dependent", DEPENDENCY_ERROR, "cargo_check", {}),
    ("clippy_dependency_error", "dependent", DEPENDENCY_ERROR, "cargo_clippy", {}),
    ("build_dependency_error", "dependent", DEPENDENCY_ERROR, "cargo_build", {}),
    ("test_dependency_error", "dependent", DEPENDENCY_ERROR, "cargo_test", {}),
]

WRAPPER = """#!/bin/bash
n=$(( $(cat "$RECORD_DIR/count" 2>/dev/null || echo 0) + 1 ))
echo "$n" > "$RECORD_DIR/count"
printf '%s\\n' "$@" > "$RECORD_DIR/$n.args"
"$REAL_CARGO" "$@" > "$RECORD_DIR/$n.stdout" 2> "$RECORD_DIR/$n.stderr"
code=$?
echo "$code" > "$RECORD_DIR/$n.exit"
cat "$RECORD_DIR/$n.stdout"
cat "$RECORD_DIR/$n.stderr" >&2
exit "$code"
"""


def write_crate(name, files):
    root = os.path.join(CRATES, name)
    if os.path.isdir(root):
        return root
    os.makedirs(root)
    with open(os.path.join(root, "Cargo.toml"), "w") as f:
        f.write(f'[package]\nname = "{name}"\nversion = "0.1.0"\nedition = "2021"\n')
    for relative, text in files.items():
        path = os.path.join(root, relative)
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, "w") as f:
            f.write(text)
    return root


def record(server, wrapper, name, crate, tool, arguments):
    out = os.path.join(STREAMS, name)
    shutil.rmtree(out, ignore_errors=True)
    os.makedirs(out)
    env = dict(os.environ, CARGO=wrapper, RECORD_DIR=out, REAL_CARGO=shutil.which("cargo"),
               CARGO_NET_OFFLINE="true", RUST_BACKTRACE="0")
    request = {"jsonrpc": "2.0", "id": 1, "method": "tools/call",
               "params": {"name": tool, "arguments": dict(arguments, working_dir=crate),
                          "_meta": {"progressToken": "rec"}}}
    proc = subprocess.run([server], input=(json.dumps(request) + "\n").encode(), env=env,
                          capture_output=True, check=True)
    os.remove(os.path.join(out, "count"))
    print(name, len(proc.stdout), "bytes of answer")


def lines_of(name, run):
    with open(os.path.join(STREAMS, name, f"{run}.stdout"), "rb") as f:
        return f.read().splitlines()


def write_recording(name, runs):
    """runs: list of (args, stdout bytes, stderr bytes, exit code)."""
    out = os.path.join(STREAMS, name)
    shutil.rmtree(out, ignore_errors=True)
    os.makedirs(out)
    for n, (args, stdout, stderr, code) in enumerate(runs, 1):
        for suffix, data in (("args", "".join(a + "\n" for a in args).encode()),
                             ("stdout", stdout), ("stderr", stderr), ("exit", f"{code}\n".encode())):
            with open(os.path.join(out, f"{n}.{suffix}"), "wb") as f:
                f.write(data)


def reworded(line, level, text, rendered):
    record = json.loads(line)
    record["message"]["level"] = level
    record["message"]["message"] = text
    record["message"]["rendered"] = rendered
    return json.dumps(record, ensure_ascii=False, separators=(",", ":")).encode()


def derive_recordings():
    metadata = ["metadata", "--format-version=1"]
    meta_out = open(os.path.join(STREAMS, "check_quiet", "1.stdout"), "rb").read()
    warning = next(l for l in lines_of("check_warnings", 2) if b'"compiler-message"' in l)
    finished = b'{"reason":"build-finished","success":true}'
    failed = b'{"reason":"build-finished","success":false}'
    session = "/tmp/tarnwick-corpus/warnings/target/debug/incremental/warnings-1x/s-abc-working"
    noise_a = reworded(warning, "warning",
                       f"error finalizing incremental compilation session directory `{session}`",
                       f"warning: error finalizing incremental compilation session directory "
                       f"`{session}`: Permission denied (os error 13)\n\n")
    noise_b = reworded(warning, "warning",
                       "did not finalize incremental compilation session directory", None)
    noise_stderr = (b"    Checking warnings v0.1.0 (/tmp/tarnwick-corpus/warnings)\n"
                    b"warning: error finalizing incremental compilation session directory `x`\n"
                    b"\n\n"
                    b"warning: `warnings` (lib) generated 3 warnings\n"
                    b"warning: did not finalize incremental compilation session directory `y`\n"
                    b"    Finished `dev` profile [unoptimized + debuginfo] target(s) in 0.20s\n")
    check = ["check", "--message-format=json"]
    write_recording("check_noise", [
        (metadata, meta_out, b"", 0),
        (check, b"\n".join([warning, noise_a, noise_b, finished]) + b"\n", noise_stderr, 0)])

    advisory = reworded(warning, "error",
                        f"error finalizing incremental compilation session directory `{session}`",
                        f"error: error finalizing incremental compilation session directory "
                        f"`{session}`\n\n")
    write_recording("check_rescued", [
        (metadata, meta_out, b"", 0),
        (check, b"\n".join([warning, advisory, failed]) + b"\n",
         b"error: could not compile `warnings` (lib) due to 1 previous error\n", 101)])

    empty = os.path.join(CRATES, "no_manifest")
    os.makedirs(empty, exist_ok=True)
    run = subprocess.run([shutil.which("cargo")] + check, cwd=empty, capture_output=True,
                         env=dict(os.environ, CARGO_NET_OFFLINE="true"))
    write_recording("check_no_manifest", [(metadata, meta_out, b"", 0),
                                          (check, run.stdout, run.stderr, run.returncode)])

    edge = edge_lines(warning)
    build_out = open(os.path.join(STREAMS, "test_mixed", "2.stdout"), "rb").read()
    write_recording("edge_lines", [
        (metadata, meta_out, b"", 0),
        (check, edge, b"", 0),
        (["clippy", "--message-format=json"], edge, b"", 0),
        (["test", "--message-format=json", "--no-run"], build_out, b"", 0),
        (["test", "--message-format=json"], edge, b"edge \xe2\x80\x94 \xff\r\n", 101)])


def edge_lines(warning):
    """Lines where a quick look at the JSON cannot be trusted, around a real warning."""
    record = json.loads(warning)
    dump = lambda value: json.dumps(value, ensure_ascii=False, separators=(",", ":")).encode()
    suggestion = dict(record)
    span = dict(record["message"]["spans"][0], suggested_replacement="_x",
                suggestion_applicability="MaybeIncorrect")
    suggestion["message"] = dict(record["message"], spans=[span], children=[])
    line = dump(suggestion)
    plain = warning
    lines = [
        plain,
        b"  " + plain + b"  ",                                   # padded
        plain + b"\r",                                           # CRLF line end
        dump(suggestion).replace(b'"reason":"compiler-message"', b'"reason":"compiler-\\u006dessage"'),
        line.replace(b'"suggested_replacement"', b'"suggested_replac\\u0065ment"'),
        line.replace(b'"_x"', b'"\\ud83c\\udf89 \\u00e9 \\"q\\" \\\\ \\t"'),  # surrogate pair, escapes
        line.replace(b'"_x"', b'"\\udc00 lone"'),               # lone surrogate: not JSON
        line.replace(b'"_x"', b'"bad \xff\xfe byte"'),          # invalid UTF-8 inside a string
        line.replace(b'"_x"', b'"raw\x01ctl"'),                  # raw control character: not JSON
        line.replace(b'"line_start":', b'"line_start":4.0,"x":').replace(b'"column_start":', b'"column_start":-1,"y":'),
        line.replace(b'"line_end":', b'"line_end":1e2,"z":'),
        line.replace(b'{"reason":"compiler-message",', b'{"reason":"compiler-message","reason":"build-finished",'),
        line.replace(b'{"reason":"compiler-message",', b'{"reason":"build-finished","reason":"compiler-message",'),
        b"\xef\xbb\xbf" + plain,                                  # byte order mark
        plain[:40] + b"\x00" + plain[40:],                        # NUL byte
        plain + b" trailing",                                     # trailing garbage
        b"[" * 130 + b"]" * 130,                                  # too deep
        b'{"reason":"compiler-message","message":' + b"[" * 126 + b"]" * 126 + b"}",
        b"42", b"[1,2]", b'"just a string"', b"true", b"null", b"{}",
        b'{"reason":7}', b'{"reason":"timing-info","unit":"x"}',
        b'{"reason":"compiler-artifact","fresh":false,"package_id":"registry+https://github.com/rust-lang/crates.io-index#serde@1.0.0"}',
        b'{"reason":"build-script-executed"}',
        b"   ", b"\t", b"", b"\xe3\x80\x80",                      # blanks, an ideographic space
        b"running 3 tests", b"test tests::a ... ok", b"test result: FAILED. 1 passed; 1 failed",
        b"---- tests::b stdout ----", b"thread 'x' panicked at src/lib.rs:1:1:", b"failures:",
        b"note: run with `RUST_BACKTRACE=1`", b"  FAIL [   0.01s] x", b"tarnwick: a runner line",
        line.replace(b'"level":"warning"', b'"level":"error"', 1),
        line.replace(b'"level":"warning"', b'"level":"error: internal compiler error"', 1),
        dump({"reason": "compiler-message", "message": {"message": "no rendered", "level": "warning",
                                                         "rendered": None, "spans": [], "children": [
                                                             {"message": "child", "code": None, "level": "help",
                                                              "spans": [dict(span, suggested_replacement="")],
                                                              "children": []}, {}, 5]}}),
        dump({"reason": "compiler-message", "message": "not an object"}),
        line.replace(b"\\n", b"\\u000a"),
    ]
    return b"\n".join(lines) + b"\n" + plain  # the last line has no line feed


def main():
    server = os.path.abspath(sys.argv[1])
    only = set(sys.argv[2:])
    wrapper = os.path.join(CRATES, "record-cargo")
    shutil.rmtree(CRATES, ignore_errors=True)
    os.makedirs(CRATES)
    with open(wrapper, "w") as f:
        f.write(WRAPPER)
    os.chmod(wrapper, 0o755)
    for name, crate, files, tool, arguments in RECORDINGS:
        if not only or name in only:
            record(server, wrapper, name, write_crate(crate, files), tool, arguments)
    if not only:
        derive_recordings()


if __name__ == "__main__":
    main()
