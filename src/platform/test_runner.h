#pragma once
/// tarnwick's test runner: the small program cargo starts in place of each
/// test binary of test selection and bisection, through the target's runner
/// variable. It asks the server over a private channel whether to start the
/// binary; when told to, it starts it (through the user's own runner, when
/// cargo would have used one) with output pipes the server reads apart from
/// everything else, reports how it ended and then ends the same way, so that
/// cargo's verdict stays the binary's own. The binary gets the environment
/// and the descriptors cargo gave the runner, the runner's variable put back
/// as the user had it.
///
/// Kept free of the server's libraries, so that the program can be linked
/// statically and starts fast: cargo starts it for every test binary of a
/// run, those the server lets end at once included.

namespace tarnwick::platform {

/// The runner's whole life. `argv` is the program, the mode word, the
/// channel's address, the target's index, then the binary and its
/// arguments. Returns the exit code to end with; when the binary died of a
/// signal, the runner raises that signal instead of returning.
int run_test_runner(int argc, char** argv);

}  // namespace tarnwick::platform
