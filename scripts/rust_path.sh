# shellcheck shell=bash
# Sourced by deps.sh and test.sh. Puts rustup's bin folder (CARGO_HOME/bin,
# or ~/.cargo/bin) first on PATH when it holds cargo: the server looks there
# before PATH, and a bare shell (CI, sudo, a service) often leaves it off, so
# the scripts then see the toolchain the server will run, and a Debian cargo
# installed beside it is not the one used.
rustup_bin=""
if [ -n "${CARGO_HOME:-}" ]; then
  rustup_bin="$CARGO_HOME/bin"
elif [ -n "${HOME:-}" ]; then
  rustup_bin="$HOME/.cargo/bin"
fi
if [ -n "$rustup_bin" ] && [ -f "$rustup_bin/cargo" ] &&
  [ "$(command -v cargo || true)" != "$rustup_bin/cargo" ]; then
  export PATH="$rustup_bin:$PATH"
fi
unset rustup_bin
