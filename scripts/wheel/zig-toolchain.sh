# The wheel's cross toolchain, sourced by its scripts: Zig (from PyPI, in
# .venv) compiles C and C++ against glibc 2.17 and its own libc++, so the
# wheel runs on every Linux of the manylinux2014 policy, x86-64 or aarch64.
# Zig never looks in /usr/include or /usr/lib for an explicit target: every
# header and library the build needs comes from the prefix it is given.

zig_version=0.17.0

# The Zig target of an architecture the wheel is built for.
zig_target() {
  case "$1" in
    x86_64|aarch64) echo "$1-linux-gnu.2.17" ;;
    *) echo "unknown architecture '$1' (x86_64 or aarch64)" >&2; return 1 ;;
  esac
}

# The architecture a wheel script's [--arch x86_64|aarch64] option asks for,
# x86_64 without one.
arch_option() {
  case "${1-}" in
    "") echo x86_64 ;;
    --arch) zig_target "${2-}" >/dev/null && echo "$2" ;;
    *) echo "usage: $0 [--arch x86_64|aarch64]" >&2; return 2 ;;
  esac
}

# zig_tools ARCH DIR: writes cc, c++, ar and ranlib into DIR (each pins the
# target: without one Zig assumes the build machine's CPU, AVX2 and FMA
# included) and prints DIR. Zig's cache (libc++ is built there once per
# target and flag set) lives in the wheel cache.
zig_tools() {
  local arch="$1" dir="$2" target zig cache tool args
  target="$(zig_target "$arch")"
  zig="$(.venv/bin/python -c 'import os, ziglang; print(os.path.join(os.path.dirname(ziglang.__file__), "zig"))')"
  [ "$("$zig" version)" = "$zig_version" ] || { echo "Zig $zig_version is needed in .venv" >&2; return 1; }
  cache="$(vantrel_cache_dir)/zig-$zig_version"
  mkdir -p "$dir" "$cache"
  for tool in cc c++ ar ranlib; do
    case "$tool" in
      cc|c++) args="$tool -target $target" ;;
      *) args="$tool" ;;
    esac
    printf '#!/bin/sh\nZIG_GLOBAL_CACHE_DIR=%s ZIG_LOCAL_CACHE_DIR=%s exec %s %s "$@"\n' \
      "$cache" "$cache" "$zig" "$args" >"$dir/$tool"
    chmod +x "$dir/$tool"
  done
  echo "$dir"
}
